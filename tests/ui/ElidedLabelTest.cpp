#include "ui/ElidedLabel.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QTextBoundaryFinder>

#include <gtest/gtest.h>

TEST(WrapElidingMiddle, keepsWhatFitsAndShortensTheRestInTheMiddleBetweenWholeCharacters) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(12);
    EXPECT_EQ(wrapElidingMiddle(QStringLiteral("first\r\nsecond"), font, 444, 2),
              (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
    // A flag is two code points of two UTF-16 units each; an accented letter a base and a mark.
    const QString path = QStringLiteral("/home/player/") +
                         QStringLiteral("nested-directory/").repeated(60) +
                         QStringLiteral("thornwake-client is missing");
    const QString flags = QStringLiteral("\U0001F1EB\U0001F1F7e\u0301").repeated(200);
    for (const auto& [text, width, maxLines] :
         {std::tuple(path, 444, 2), std::tuple(path, 120, 1), std::tuple(flags, 200, 2)}) {
        const QStringList lines = wrapElidingMiddle(text, font, width, maxLines);
        ASSERT_GE(lines.size(), 1);
        ASSERT_LE(lines.size(), maxLines);
        for (const QString& line : lines)
            EXPECT_LE(QFontMetricsF(font).horizontalAdvance(line), width + 0.5);
        // Both ends survive, cut between whole characters.
        const QString shown = lines.join(QString());
        const qsizetype ellipsis = shown.indexOf(QChar(0x2026));
        ASSERT_GT(ellipsis, 0);
        const QString head = shown.left(ellipsis);
        const QString tail = shown.mid(ellipsis + 1);
        EXPECT_TRUE(text.startsWith(head) && text.endsWith(tail)) << shown.toStdString();
        QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
        boundaries.setPosition(head.size());
        EXPECT_TRUE(boundaries.isAtBoundary());
        boundaries.setPosition(text.size() - tail.size());
        EXPECT_TRUE(boundaries.isAtBoundary());
        EXPECT_GT(QFontMetricsF(font).horizontalAdvance(shown), width * maxLines * 0.8);
    }
}
