#include "install/RunCompletion.h"
#include "updater/LineFramer.h"

#include <gtest/gtest.h>

TEST(LineFramer, everyChunkingOfAStreamGivesTheSameLines) {
    const QByteArray stream = QByteArray("  first \r\nsec") + "\xc3\xa9" + "ond\n\n \t\n" +
                              "bad \xff byte\n" + "x\ry\n" + "tail";
    const QStringList expected{"first", QString::fromUtf8("sec\u00e9ond"),
                               QString::fromUtf8("bad \ufffd byte"), "x\ry"};
    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        for (qsizetype second = cut; second <= stream.size(); second += 3) {
            LineFramer framer;
            QStringList lines = framer.consume(stream.left(cut));
            lines += framer.consume(stream.mid(cut, second - cut));
            lines += framer.consume(stream.mid(second));
            ASSERT_EQ(lines, expected) << "cuts at " << cut << " and " << second;
            ASSERT_EQ(framer.takeRest(), QStringLiteral("tail"));
            ASSERT_EQ(framer.bufferedBytes(), 0);
        }
    }
}

TEST(LineFramer, anOverlongLineIsHandedOnInWholeCharacters) {
    LineFramer framer;
    // Three-byte characters, so a piece boundary falls inside one unless it is moved.
    const QByteArray euro = "\xe2\x82\xac";
    QByteArray line;
    while (line.size() < LineFramer::maximumLineBytes * 2 + 10)
        line += euro;
    const QStringList pieces = framer.consume(line);
    ASSERT_EQ(pieces.size(), 2);
    EXPECT_LE(framer.bufferedBytes(), LineFramer::maximumLineBytes);
    const QString whole = pieces.join(QString()) + framer.takeRest();
    EXPECT_FALSE(whole.contains(QChar(0xfffd)));
    EXPECT_EQ(whole.toUtf8(), line);
}

TEST(RunCompletion, decisionTable) {
    const CheckOutcome nothing{};
    const CheckOutcome launcher{QStringLiteral("0123456789abcdef"), QStringLiteral("r2")};
    const CheckOutcome client{std::nullopt, QStringLiteral("r2")};
    struct Case {
        RunFacts facts;
        CompletionRow row;
    };
    const Case cases[] = {
        {{true, Mode::check, false, 0, std::nullopt}, CompletionRow::relaunch},
        {{true, Mode::play, true, 0, nothing}, CompletionRow::relaunch},
        {{true, Mode::update, false, 9, nothing}, CompletionRow::launcherUpdateFailed},
        {{false, Mode::check, false, 0, launcher}, CompletionRow::launcherUpdateAvailable},
        {{false, Mode::check, false, 0, client}, CompletionRow::clientUpdateAvailable},
        {{false, Mode::check, true, 0, nothing}, CompletionRow::upToDate},
        {{false, Mode::check, false, 0, std::nullopt}, CompletionRow::checkFailed},
        {{false, Mode::check, false, -1, nothing}, CompletionRow::checkFailed},
        {{false, Mode::update, false, 0, std::nullopt}, CompletionRow::updateInstalled},
        {{false, Mode::update, true, 1, nothing}, CompletionRow::updateFailed},
        {{false, Mode::play, true, 0, std::nullopt}, CompletionRow::gameEnded},
        {{false, Mode::play, true, 255, std::nullopt}, CompletionRow::gameFailed},
        {{false, Mode::play, false, 0, nothing}, CompletionRow::gameDidNotStart},
        {{false, Mode::play, false, 1, nothing}, CompletionRow::playFailed},
    };
    for (const Case& c : cases)
        EXPECT_EQ(completionRow(c.facts), c.row) << static_cast<int>(c.row);
}
