#include "ui/ElidedLabel.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QTextBoundaryFinder>

#include <gtest/gtest.h>

namespace {

const QString ellipsis(QChar(0x2026));

QFont detailFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(12);
    return font;
}

} // namespace

TEST(WrapElidingMiddle, keepsTextThatFitsWholeAndItsLineBreaks) {
    const QFont font = detailFont();
    EXPECT_EQ(wrapElidingMiddle(QString(), font, 444, 2), QStringList());
    EXPECT_EQ(wrapElidingMiddle(QStringLiteral("Connecting securely\u2026"), font, 444, 2),
              QStringList{QStringLiteral("Connecting securely\u2026")});
    EXPECT_EQ(wrapElidingMiddle(QStringLiteral("first\r\nsecond"), font, 444, 2),
              (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
    // One and a half lines of words wrap at a space and lose nothing.
    QString words = QStringLiteral("release notes");
    while (QFontMetricsF(font).horizontalAdvance(words) < 444 * 1.5)
        words += QStringLiteral(" release notes");
    const QStringList wrapped = wrapElidingMiddle(words, font, 444, 2);
    EXPECT_EQ(wrapped.size(), 2);
    EXPECT_EQ(wrapped.join(u' '), words);
}

TEST(WrapElidingMiddle, shortensTooLongTextInTheMiddleBetweenWholeCharacters) {
    const QFont font = detailFont();
    QString path = QStringLiteral("/home/player/.local/share/Thornwake/client/");
    for (int i = 0; i < 40; ++i)
        path += QStringLiteral("nested-directory-%1/").arg(i);
    path += QStringLiteral("bin/thornwake-client is missing");
    // A flag is two code points of two UTF-16 units each; an accented letter a base and a mark.
    const QString flags = QStringLiteral("\U0001F1EB\U0001F1F7e\u0301").repeated(200);
    auto characters = [](const QString& text) {
        int count = 0;
        for (QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
             finder.toNextBoundary() >= 0;)
            ++count;
        return count;
    };

    for (const auto& [text, width, maxLines] :
         {std::tuple(path, 444, 2), std::tuple(path, 444, 1), std::tuple(path, 120, 2),
          std::tuple(flags, 200, 2)}) {
        SCOPED_TRACE(testing::Message() << text.left(4).toStdString() << " in " << width << " px, "
                                        << maxLines << " lines");
        const QStringList lines = wrapElidingMiddle(text, font, width, maxLines);
        ASSERT_GE(lines.size(), 1);
        ASSERT_LE(lines.size(), maxLines);
        for (const QString& line : lines)
            EXPECT_LE(QFontMetricsF(font).horizontalAdvance(line), width + 0.5);
        const QString shown = lines.join(QString());
        ASSERT_EQ(shown.count(ellipsis), 1);
        // Both ends survive, cut between whole characters, with about as much kept of each.
        const QString head = shown.left(shown.indexOf(ellipsis));
        const QString tail = shown.mid(shown.indexOf(ellipsis) + 1);
        EXPECT_TRUE(text.startsWith(head) && !head.isEmpty()) << shown.toStdString();
        EXPECT_TRUE(text.endsWith(tail)) << shown.toStdString();
        QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
        boundaries.setPosition(head.size());
        EXPECT_TRUE(boundaries.isAtBoundary());
        boundaries.setPosition(text.size() - tail.size());
        EXPECT_TRUE(boundaries.isAtBoundary());
        EXPECT_LE(std::abs(characters(head) - characters(tail)), 1);
        // Nearly all the room is used.
        EXPECT_GT(QFontMetricsF(font).horizontalAdvance(shown), width * maxLines * 0.8);
    }
}
