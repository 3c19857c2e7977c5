#include "updater/CheckResult.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <ostream>

void PrintTo(const CheckOutcome& outcome, std::ostream* os) {
    *os << "{launcher=" << outcome.launcherVersion.value_or("<none>").toStdString()
        << " client=" << outcome.clientRelease.value_or("<none>").toStdString() << "}";
}

TEST(CheckResult, acceptsWellFormedLines) {
    const QString version = "0123456789abcdef";
    const QString longest = "R" + QString(63, u'9');
    const std::pair<QString, CheckOutcome> cases[] = {
        {"UPDATE_CHECK launcher=current client=current", {}},
        {"UPDATE_CHECK launcher=unknown client=unknown", {}},
        {"UPDATE_CHECK launcher=unpackaged client=current", {}},
        {"UPDATE_CHECK launcher=unconfigured client=current world=unknown", {}},
        {"UPDATE_CHECK launcher=current client=current world=1.2.3.0123456789ab", {}},
        {"UPDATE_CHECK launcher=available:" + version + " client=current", {version, {}}},
        {"UPDATE_CHECK launcher=current client=available:2026.12-b_1", {{}, "2026.12-b_1"}},
        {"UPDATE_CHECK launcher=current client=available:" + longest, {{}, longest}},
        {"  UPDATE_CHECK  launcher=available:" + version + "   client=available:7 world=unknown ",
         {version, "7"}},
    };
    for (const auto& [line, outcome] : cases)
        EXPECT_EQ(parseCheck(line), outcome) << line.toStdString();
}

TEST(CheckResult, rejectsAnyOtherLine) {
    const QStringList lines = {
        // Only U+0020 separates fields.
        "UPDATE_CHECK\tlauncher=current client=current",
        "UPDATE_CHECK launcher=current\u00a0client=current",
        // Launcher versions are exactly 16 lower-case hex digits.
        "UPDATE_CHECK launcher=available:0123456789abcde client=current",
        "UPDATE_CHECK launcher=available:0123456789abcdef0 client=current",
        "UPDATE_CHECK launcher=Current client=current",
        // Client releases: an ASCII letter or digit, then up to 63 of [A-Za-z0-9._-].
        "UPDATE_CHECK launcher=current client=available:R" + QString(64, u'9'),
        "UPDATE_CHECK launcher=current client=available:-r1",
        "UPDATE_CHECK launcher=current client=available:r+1",
        "UPDATE_CHECK launcher=current client=unpackaged",
        // The world field is validated, though not kept.
        "UPDATE_CHECK launcher=current client=current world=1.2.3.0123456789abc",
        "UPDATE_CHECK launcher=current client=current world=1234567890.2.3.0123456789ab",
        "UPDATE_CHECK launcher=current client=current world=Unknown",
        // Exactly these fields in this order.
        "UPDATE_CHECK launcher=current",
        "UPDATE_CHECK client=current launcher=current",
        "UPDATE_CHECK launcher=current world=unknown client=current",
        "UPDATE_CHECK launcher=current client=current extra",
        "UPDATE_CHECK launcher=current client=current world=unknown world=unknown",
        "update_check launcher=current client=current",
    };
    for (const QString& line : lines)
        EXPECT_EQ(parseCheck(line), std::nullopt) << line.toStdString();
}
