#pragma once

#include <QFont>
#include <QStringList>
#include <QWidget>

// Breaks `text` into at most `maxLines` lines of at most `width` pixels in `font`, at word
// boundaries where possible. Text that still does not fit loses characters from its middle,
// replaced by "…", so both its beginning and its end stay readable.
QStringList wrapElidingMiddle(const QString& text, const QFont& font, qreal width, int maxLines);

// A plain-text label of a bounded number of centred lines that shortens what does not fit in the
// middle rather than at the end, which keeps both ends of a long path or message visible.
class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    explicit ElidedLabel(const QString& text = {}, int maxLines = 1, QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);

    int maximumLineCount() const { return maxLines_; }
    void setMaximumLineCount(int lines);

    // The lines as they are shown at the label's current width.
    QStringList displayedLines() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int heightForLines(int lines) const;

    QString text_;
    int maxLines_;
};
