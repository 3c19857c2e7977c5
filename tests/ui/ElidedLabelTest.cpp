#include "ui/ElidedLabel.h"

#include <QFontDatabase>
#include <QFontMetricsF>

#include <gtest/gtest.h>

namespace {

const QString ellipsis(QChar(0x2026));

QFont detailFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(12);
    return font;
}

void expectEachLineFits(const QStringList& lines, const QFont& font, qreal width) {
    const QFontMetricsF metrics(font);
    for (const QString& line : lines)
        EXPECT_LE(metrics.horizontalAdvance(line), width + 0.5) << line.toStdString();
}

} // namespace

TEST(WrapElidingMiddle, KeepsTextThatFitsWholeOnAsFewLinesAsNeeded) {
    const QFont font = detailFont();
    const qreal width = 444;

    EXPECT_EQ(wrapElidingMiddle(QStringLiteral("Connecting securely\u2026"), font, width, 2),
              QStringList{QStringLiteral("Connecting securely\u2026")});
    EXPECT_TRUE(wrapElidingMiddle(QString(), font, width, 2).isEmpty());

    // Two lines' worth of words wraps at a space and loses nothing.
    QString words;
    while (QFontMetricsF(font).horizontalAdvance(words) < width * 1.5)
        words += QStringLiteral("release notes ");
    words = words.trimmed();
    const QStringList lines = wrapElidingMiddle(words, font, width, 2);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines.join(QLatin1Char(' ')), words);
    EXPECT_FALSE(lines.join(QString()).contains(ellipsis));
    expectEachLineFits(lines, font, width);

    // A line break in the text is kept as one.
    EXPECT_EQ(wrapElidingMiddle(QStringLiteral("first\nsecond"), font, width, 2),
              (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
}

TEST(WrapElidingMiddle, ShortensTooLongTextInTheMiddle) {
    const QFont font = detailFont();
    const QString head = QStringLiteral("/home/player/.local/share/Thornwake/client/");
    const QString tail = QStringLiteral("/bin/thornwake-client is missing");
    QString path = head;
    for (int i = 0; i < 40; ++i)
        path += QStringLiteral("nested-directory-%1/").arg(i);
    path += tail.mid(1);

    struct Case {
        qreal width;
        int maxLines;
    };
    for (const Case c : {Case{444, 2}, Case{444, 1}, Case{120, 2}}) {
        SCOPED_TRACE(testing::Message() << c.width << " px, " << c.maxLines << " lines");
        const QStringList lines = wrapElidingMiddle(path, font, c.width, c.maxLines);
        ASSERT_GE(lines.size(), 1);
        ASSERT_LE(lines.size(), c.maxLines);
        expectEachLineFits(lines, font, c.width);
        const QString shown = lines.join(QString());
        EXPECT_EQ(shown.count(ellipsis), 1);
        // Both ends survive, the beginning and the end of the path.
        EXPECT_TRUE(shown.startsWith(path.left(10))) << shown.toStdString();
        EXPECT_TRUE(shown.endsWith(path.right(10))) << shown.toStdString();
        const int cut = int(shown.indexOf(ellipsis));
        EXPECT_TRUE(path.startsWith(shown.left(cut)));
        EXPECT_TRUE(path.endsWith(shown.mid(cut + 1)));
        // Roughly as much is kept from each end.
        EXPECT_LE(std::abs(cut - int(shown.size() - cut - 1)), 1);
        // Nearly all the room is used: one more character each side would not have fitted.
        EXPECT_GT(QFontMetricsF(font).horizontalAdvance(shown), c.width * c.maxLines * 0.8);
    }
}

TEST(WrapElidingMiddle, NeverSplitsACharacter) {
    const QFont font = detailFont();
    // Each flag is two code points of two UTF-16 units each; each accented letter a base and a
    // combining mark.
    QString text;
    for (int i = 0; i < 200; ++i)
        text += QStringLiteral("\U0001F1EB\U0001F1F7e\u0301");
    const QStringList lines = wrapElidingMiddle(text, font, 200, 2);
    const QString shown = lines.join(QString());
    ASSERT_EQ(shown.count(ellipsis), 1);
    const qsizetype cut = shown.indexOf(ellipsis);
    const QString kept = shown.left(cut) + shown.mid(cut + 1);
    // What is kept on each side is made of whole units of the repeated pattern.
    const QString unit = QStringLiteral("\U0001F1EB\U0001F1F7e\u0301");
    const QString before = shown.left(cut);
    const QString after = shown.mid(cut + 1);
    EXPECT_TRUE(text.startsWith(before));
    EXPECT_TRUE(text.endsWith(after));
    // A cut may fall within a unit only between its flag and its letter, both whole.
    const qsizetype beforeRest = before.size() % unit.size();
    const qsizetype afterRest = after.size() % unit.size();
    EXPECT_TRUE(beforeRest == 0 || beforeRest == 4) << before.size();
    EXPECT_TRUE(afterRest == 0 || afterRest == 2) << after.size();
    EXPECT_FALSE(kept.isEmpty());
}
