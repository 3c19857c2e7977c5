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

LaunchOptions options(std::optional<QString> region, bool automaticContinue = false,
                      std::optional<QString> relaunchedFrom = {}, bool noSelfUpdate = false,
                      QStringList gameArguments = {}) {
    return {std::move(region), automaticContinue, std::move(relaunchedFrom), noSelfUpdate,
            std::move(gameArguments)};
}

} // namespace

TEST(LaunchOptions, programPathIsNeverInterpreted) {
    EXPECT_EQ(LaunchOptions::parse({}), LaunchOptions{});
    EXPECT_EQ(LaunchOptions::parse({"--continue"}), LaunchOptions{});
}

TEST(LaunchOptions, followsTheGrammar) {
    const QString longest = "a" + QString(31, 'z');
    const QString version = "0123456789abcdef";
    const QString from = "--relaunched-from";
    const std::pair<QStringList, LaunchOptions> cases[] = {
        // Region ids: a lower-case letter, then up to 31 of [a-z0-9-].
        {{"--region", "eu-west"}, options("eu-west")},
        {{"--region", longest}, options(longest)},
        {{"--region", longest + "z"}, {}},
        {{"--region", "EU"}, {}},
        {{"--region", "1eu"}, {}},
        {{"--region", ""}, {}},
        {{"--region", "eu\n"}, {}},
        // Launcher versions: exactly 16 lower-case hex digits.
        {{from, version}, options({}, false, version)},
        {{from, version.chopped(1)}, {}},
        {{from, version + "0"}, {}},
        {{from, version.toUpper()}, {}},
        // The value slot is consumed even when the value is rejected or is itself a word.
        {{"--region", "--continue"}, {}},
        {{from, "--no-self-update"}, {}},
        {{"--region", "--", "x"}, {}},
        {{"--region", "EU", "--continue"}, options({}, true)},
        {{"--region", "--", "--", "x"}, options({}, false, {}, false, {"x"})},
        {{"--continue", "--region"}, options({}, true)},
        // A later valid value replaces an earlier one; a later invalid one keeps it.
        {{"--region", "eu", "--region", "na"}, options("na")},
        {{"--region", "eu", "--region", "na!"}, options("eu")},
        {{from, version, from, "1"}, options({}, false, version)},
        // "--" stops parsing; everything after it goes to the game unchanged.
        {{"--no-self-update", "--", "--region", "eu", "", "--continue"},
         options({}, false, {}, true, {"--region", "eu", "", "--continue"})},
        // Only exact words count.
        {{"--region=eu", "--Region", "eu", "--Continue"}, {}},
        {{"--continue", "--verbose", "--no-self-update"}, options({}, true, {}, true)},
        {{"--region", "na", "--continue", from, version, "--no-self-update", "--", "-w"},
         options("na", true, version, true, {"-w"})},
    };
    for (const auto& [words, expected] : cases) {
        const QStringList arguments =
            QStringList{"/Applications/Thornwake Launcher.app/Contents/MacOS/launcher"} + words;
        EXPECT_EQ(LaunchOptions::parse(arguments), expected) << words.join(' ').toStdString();
    }
}
