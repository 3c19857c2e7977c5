#include "config/LaunchOptions.h"

#include <gtest/gtest.h>
#include <ostream>

void PrintTo(const LaunchOptions& options, std::ostream* os) {
    *os << "{region=" << options.region.value_or("<none>").toStdString()
        << " continue=" << options.automaticContinue
        << " from=" << options.relaunchedFrom.value_or("<none>").toStdString()
        << " noSelfUpdate=" << options.noSelfUpdate << " game=["
        << options.gameArguments.join(u'|').toStdString() << "]}";
}

namespace {

LaunchOptions parse(QStringList words) {
    words.prepend(QStringLiteral("/Applications/Thornwake Launcher.app/Contents/MacOS/launcher"));
    return LaunchOptions::parse(words);
}

LaunchOptions withRegion(const QString& region) {
    LaunchOptions options;
    options.region = region;
    return options;
}

LaunchOptions withVersion(const QString& version) {
    LaunchOptions options;
    options.relaunchedFrom = version;
    return options;
}

LaunchOptions withFlags(bool automaticContinue, bool noSelfUpdate) {
    LaunchOptions options;
    options.automaticContinue = automaticContinue;
    options.noSelfUpdate = noSelfUpdate;
    return options;
}

struct Case {
    const char* what;
    QStringList words;
    LaunchOptions expected;
};

void expectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases)
        EXPECT_EQ(parse(c.words), c.expected) << c.what;
}

} // namespace

TEST(LaunchOptions, emptyAndProgramOnlyListsGiveTheDefaults) {
    EXPECT_EQ(LaunchOptions::parse({}), LaunchOptions{});
    EXPECT_EQ(LaunchOptions::parse({"launcher"}), LaunchOptions{});
    // Index 0 is the program path and is never interpreted.
    EXPECT_EQ(LaunchOptions::parse({"--continue"}), LaunchOptions{});
    EXPECT_EQ(LaunchOptions::parse({"--"}), LaunchOptions{});
}

TEST(LaunchOptions, regionValueMustBeAValidId) {
    const QString longest = "a" + QString(31, 'z');
    expectAll({
        {"plain", {"--region", "eu-west"}, withRegion("eu-west")},
        {"single letter", {"--region", "e"}, withRegion("e")},
        {"trailing hyphen", {"--region", "eu-"}, withRegion("eu-")},
        {"32 characters", {"--region", longest}, withRegion(longest)},
        {"33 characters", {"--region", longest + "z"}, {}},
        {"capitals", {"--region", "EU-WEST"}, {}},
        {"leading digit", {"--region", "1eu"}, {}},
        {"leading hyphen", {"--region", "-eu"}, {}},
        {"empty", {"--region", ""}, {}},
        {"trailing line feed", {"--region", "eu\n"}, {}},
        {"non-ASCII letter", {"--region", QString::fromUtf8("\u00e9u")}, {}},
        // A lone surrogate is no valid text: it must simply not match.
        {"lone surrogate", {"--region", "eu" + QString(QChar(0xD800))}, {}},
    });
}

TEST(LaunchOptions, valueSlotIsConsumedEvenWhenRejected) {
    LaunchOptions gameAfter;
    gameAfter.gameArguments = {"x"};
    expectAll({
        {"word as region value", {"--region", "--continue"}, {}},
        {"word as version value", {"--relaunched-from", "--no-self-update"}, {}},
        {"separator as value", {"--region", "--", "x"}, {}},
        {"rejected value then flag", {"--region", "EU", "--continue"}, withFlags(true, false)},
        {"separator after consumed value", {"--region", "--", "--", "x"}, gameAfter},
    });
}

TEST(LaunchOptions, wordWithoutValueEndsParsing) {
    expectAll({
        {"region last", {"--continue", "--region"}, withFlags(true, false)},
        {"version last", {"--relaunched-from"}, {}},
    });
}

TEST(LaunchOptions, laterValuesReplaceEarlierOnlyWhenValid) {
    expectAll({
        {"invalid second", {"--region", "eu", "--region", "na!"}, withRegion("eu")},
        {"valid second", {"--region", "eu", "--region", "na"}, withRegion("na")},
        {"version twice",
         {"--relaunched-from", "0000000000000000", "--relaunched-from", "1111111111111111"},
         withVersion("1111111111111111")},
        {"version then invalid",
         {"--relaunched-from", "0000000000000000", "--relaunched-from", "1"},
         withVersion("0000000000000000")},
    });
}

TEST(LaunchOptions, relaunchedFromNeedsSixteenLowercaseHexDigits) {
    expectAll({
        {"valid", {"--relaunched-from", "0123456789abcdef"}, withVersion("0123456789abcdef")},
        {"upper case", {"--relaunched-from", "0123456789ABCDEF"}, {}},
        {"15 digits", {"--relaunched-from", "0123456789abcde"}, {}},
        {"17 digits", {"--relaunched-from", "0123456789abcdef0"}, {}},
    });
}

TEST(LaunchOptions, separatorPassesEverythingAfterItToTheGame) {
    LaunchOptions passed;
    passed.gameArguments = {"--region", "eu", "", "--continue", "-x"};
    LaunchOptions before;
    before.noSelfUpdate = true;
    before.gameArguments = {"--no-self-update"};
    expectAll({
        {"options after separator", {"--", "--region", "eu", "", "--continue", "-x"}, passed},
        {"separator last", {"--"}, {}},
        {"flags before separator", {"--no-self-update", "--", "--no-self-update"}, before},
    });
}

TEST(LaunchOptions, unknownAndJoinedFormsAreIgnored) {
    expectAll({
        {"joined by equals", {"--region=eu"}, {}},
        {"single hyphen", {"-region", "eu"}, {}},
        {"capital letter", {"--Region", "eu", "--Continue"}, {}},
        {"unknown between flags",
         {"--continue", "--verbose", "--no-self-update"},
         withFlags(true, true)},
        {"flags repeated", {"--continue", "--continue", "--no-self-update"}, withFlags(true, true)},
    });
}

TEST(LaunchOptions, allOptionsTogether) {
    LaunchOptions all;
    all.region = "na-east";
    all.automaticContinue = true;
    all.relaunchedFrom = "fedcba9876543210";
    all.noSelfUpdate = true;
    all.gameArguments = {"-windowed"};
    EXPECT_EQ(parse({"--region", "na-east", "--continue", "--relaunched-from", "fedcba9876543210",
                     "--no-self-update", "--", "-windowed"}),
              all);
}
