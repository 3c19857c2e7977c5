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

TEST(LineFramer, givesOneReplacementCharacterPerMaximalIllFormedSubpart) {
    const std::pair<QByteArray, const char*> cases[] = {
        {"a\xe2\x82z", "a\ufffdz"},                       // a truncated three-byte sequence
        {"\xf0\x9f\xe2\x82\xac", "\ufffd\u20ac"},         // a truncated four-byte one
        {"\xe0\x80\xaf", "\ufffd\ufffd\ufffd"},           // overlong after a valid lead
        {"\xed\xa0\x80", "\ufffd\ufffd\ufffd"},           // a surrogate
        {"\xf4\x90\x80\x80", "\ufffd\ufffd\ufffd\ufffd"}, // above U+10FFFF
        {"\x80\xff\xf4\x8f\xbf\xbf", "\ufffd\ufffd\U0010ffff"},
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(LineFramer::decodeLine(bytes), QString::fromUtf8(expected))
            << bytes.toHex(' ').data();
}

TEST(LineFramer, anOverlongLineIsHandedOnInWholeCharacters) {
    LineFramer framer;
    // Four-byte characters after one ASCII byte, so that the piece boundary falls on the last
    // byte of one and must move back over three.
    QByteArray line = "a";
    while (line.size() < LineFramer::maximumLineBytes * 2 + 10)
        line += "\xf0\x9f\x98\x80";
    const QStringList pieces = framer.consume(line);
    ASSERT_EQ(pieces.size(), 2);
    EXPECT_LE(framer.bufferedBytes(), LineFramer::maximumLineBytes);
    const QString whole = pieces.join(QString()) + framer.takeRest();
    EXPECT_FALSE(whole.contains(QChar(0xfffd)));
    EXPECT_EQ(whole.toUtf8(), line);
}
