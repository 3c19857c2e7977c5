#include "ui/LogView.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

LogView::LogView(const QString& path, QWidget* parent)
    : QWidget(parent)
    , tail(path) {
    path_ = new QLineEdit(path, this);
    path_->setReadOnly(true);
    path_->setAccessibleName(QStringLiteral("Log file"));
    copy_ = new QPushButton(QStringLiteral("Copy Path"), this);
    connect(copy_, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(this->path()); });

    note_ = new QLabel(this);
    note_->setHidden(true);

    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setMaximumBlockCount(maximumLines);
    text_->setAccessibleName(QStringLiteral("Log text"));

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(path_, 1);
    pathRow->addWidget(copy_);
    auto* column = new QVBoxLayout(this);
    column->addLayout(pathRow);
    column->addWidget(note_);
    column->addWidget(text_, 1);

    poll.setInterval(pollMs);
    connect(&poll, &QTimer::timeout, this, &LogView::refresh);
}

void LogView::showEvent(QShowEvent* event) {
    refresh();
    poll.start();
    QWidget::showEvent(event);
}

void LogView::hideEvent(QHideEvent* event) {
    poll.stop();
    QWidget::hideEvent(event);
}

void LogView::setNote(const QString& text) {
    note_->setText(text);
    note_->setHidden(text.isEmpty());
}

void LogView::refresh() {
    const LogTail::Change change = tail.read();
    if (change.missing) {
        setNote(text_->document()->isEmpty()
                    ? QStringLiteral("There is no log file at this path.")
                    : QStringLiteral("The log file is gone; below is what it last held."));
        return;
    }
    if (change.restart)
        setNote(change.shortened ? QStringLiteral("Earlier lines of this long log are not shown.")
                                 : QString());
    if (!change.restart && change.text.isEmpty())
        return;

    QScrollBar* scroll = text_->verticalScrollBar();
    // Follow new lines only while the end is in view, so that reading further up is not disturbed.
    const bool following = change.restart || scroll->value() == scroll->maximum();
    if (change.restart) {
        text_->setPlainText(change.text);
    } else {
        // A cursor of its own, so that the reader's selection stays as it is.
        QTextCursor end(text_->document());
        end.movePosition(QTextCursor::End);
        end.insertText(change.text);
    }
    if (following)
        scroll->setValue(scroll->maximum());
}
