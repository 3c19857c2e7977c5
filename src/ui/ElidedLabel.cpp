#include "ui/ElidedLabel.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QtMath>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

const QChar ellipsis(0x2026);

// Lays the text out and returns its lines, or nothing when it needs more than maxLines.
std::optional<QStringList> wrapWithin(const QString& text, const QFont& font, qreal width,
                                      int maxLines) {
    QTextLayout layout(text, font);
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        if (lines.size() == maxLines) {
            layout.endLayout();
            return std::nullopt;
        }
        line.setLineWidth(width);
        // A forced break leaves its separator at the end of the line; it is not shown.
        QString piece = text.mid(line.textStart(), line.textLength());
        while (!piece.isEmpty() && (piece.back().isSpace() || piece.back() == QChar::LineSeparator))
            piece.chop(1);
        lines.append(piece);
    }
    layout.endLayout();
    return lines;
}

// Positions between user-perceived characters, so that shortening never splits one.
std::vector<int> graphemeBoundaries(const QString& text) {
    std::vector<int> boundaries;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype position = 0; position >= 0; position = finder.toNextBoundary())
        boundaries.push_back(int(position));
    return boundaries;
}

} // namespace

QStringList wrapElidingMiddle(const QString& text, const QFont& font, qreal width, int maxLines) {
    if (text.isEmpty() || maxLines < 1)
        return {};
    QString shown = text;
    // Explicit line breaks stay line breaks; a carriage return alone would otherwise be a glyph.
    shown.replace(QLatin1String("\r\n"), QString(QChar::LineSeparator));
    shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
    shown.replace(QLatin1Char('\r'), QChar::LineSeparator);

    if (auto lines = wrapWithin(shown, font, width, maxLines))
        return *lines;

    // Keep as many characters as fit, half from each end. Fitting only gets harder the more is
    // kept, so a binary search over the count finds the most.
    const std::vector<int> bounds = graphemeBoundaries(shown);
    const int characters = int(bounds.size()) - 1;
    auto shortened = [&](int kept) {
        const int head = (kept + 1) / 2;
        const int tail = kept / 2;
        return shown.left(bounds[head]) + ellipsis + shown.mid(bounds[characters - tail]);
    };
    int low = 0;
    int high = characters - 1;
    while (low < high) {
        const int mid = (low + high + 1) / 2;
        if (wrapWithin(shortened(mid), font, width, maxLines))
            low = mid;
        else
            high = mid - 1;
    }
    if (auto lines = wrapWithin(shortened(low), font, width, maxLines))
        return *lines;
    return {QString(ellipsis)};
}

ElidedLabel::ElidedLabel(const QString& text, int maxLines, QWidget* parent)
    : QWidget(parent)
    , text_(text)
    , maxLines_(std::max(1, maxLines)) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_)
        return;
    text_ = text;
    updateGeometry();
    update();
}

void ElidedLabel::setMaximumLineCount(int lines) {
    maxLines_ = std::max(1, lines);
    updateGeometry();
    update();
}

QStringList ElidedLabel::displayedLines() const {
    return wrapElidingMiddle(text_, font(), width(), maxLines_);
}

int ElidedLabel::heightForLines(int lines) const {
    // An empty label keeps the height of one line, so that setting a text does not move the
    // controls below it.
    const QFontMetricsF metrics(font());
    return qCeil(metrics.height() + (std::max(1, lines) - 1) * metrics.lineSpacing());
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetricsF metrics(font());
    qreal widest = 0;
    for (const QString& line : text_.split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return QSize(qCeil(widest), heightForLines(1));
}

QSize ElidedLabel::minimumSizeHint() const {
    return QSize(0, heightForLines(1));
}

int ElidedLabel::heightForWidth(int width) const {
    return heightForLines(int(wrapElidingMiddle(text_, font(), width, maxLines_).size()));
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    const QFontMetricsF metrics(font());
    qreal top = 0;
    for (const QString& line : displayedLines()) {
        painter.drawText(QRectF(0, top, width(), metrics.height()),
                         Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, line);
        top += metrics.lineSpacing();
    }
}

void ElidedLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        updateGeometry();
    QWidget::changeEvent(event);
}
