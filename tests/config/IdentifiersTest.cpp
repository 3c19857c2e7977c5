#include "config/Identifiers.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    QString value;
    bool accepted;
};

void expectAll(bool (*test)(const QString&), const std::vector<Case>& cases) {
    for (const Case& c : cases)
        EXPECT_EQ(test(c.value), c.accepted) << c.value.toStdString();
}

} // namespace

TEST(Identifiers, regionIdIsOneToThirtyTwoLowercaseCharactersStartingWithALetter) {
    expectAll(isRegionId, {
                              {"a", true},
                              {"eu-west", true},
                              {"region-", true},
                              {"a" + QString(31, 'b'), true},
                              {"a" + QString(32, 'b'), false},
                              {"", false},
                              {"1eu", false},
                              {"-eu", false},
                              {"EU", false},
                              {"eu_west", false},
                              {"eu!", false},
                              {"eu\n", false},
                              {"\neu", false},
                              {"eu west", false},
                              {QString::fromUtf8("é"), false},
                              // A lone surrogate is no valid text and must not match or crash.
                              {"eu" + QString(QChar(0xD800)), false},
                          });
}

TEST(Identifiers, launcherVersionIsExactlySixteenLowercaseHexDigits) {
    expectAll(isLauncherVersion, {
                                     {"0123456789abcdef", true},
                                     {"0123456789ABCDEF", false},
                                     {"0123456789abcde", false},
                                     {"0123456789abcdef0", false},
                                     {"0123456789abcdeg", false},
                                     {"0123456789abcdef\n", false},
                                     {"", false},
                                 });
}

TEST(Identifiers, worldVersionIsThreeNumbersAndTwelveHexDigits) {
    expectAll(isWorldVersion, {
                                  {"1.2.3.0123456789ab", true},
                                  {"123456789.123456789.123456789.abcdefabcdef", true},
                                  {"1234567890.2.3.0123456789ab", false},
                                  {"1.2.3.0123456789a", false},
                                  {"1.2.3.0123456789abc", false},
                                  {"1.2.3.0123456789AB", false},
                                  {"1.2.0123456789ab", false},
                                  {"v1.2.3.0123456789ab", false},
                                  {"1.2.3.0123456789ab\n", false},
                                  {"1..3.0123456789ab", false},
                                  {QString::fromUtf8("١.2.3.0123456789ab"), false},
                              });
}
