#pragma once

#include "ui/LogTail.h"

#include <QTimer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// One log file, read-only: its path, which can be selected and copied, above its text in a
// monospaced, selectable view. While the view is shown it follows what is appended, staying at
// the end when it was there. A file that disappears leaves its last text in place, with a note.
class LogView : public QWidget {
    Q_OBJECT

public:
    static constexpr int pollMs = 250;
    // Beyond this many lines the oldest leave the view, so that a long session cannot grow it
    // without bound.
    static constexpr int maximumLines = 200000;

    explicit LogView(const QString& path, QWidget* parent = nullptr);

    QString path() const { return tail.path(); }
    QPlainTextEdit* textView() const { return text_; }
    QLineEdit* pathField() const { return path_; }
    QLabel* note() const { return note_; }

    // Reads what changed in the file since the last time.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void setNote(const QString& text);

    LogTail tail;
    QTimer poll;
    QLineEdit* path_ = nullptr;
    QPushButton* copy_ = nullptr;
    QLabel* note_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
};
