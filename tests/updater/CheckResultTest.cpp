#include "updater/CheckResult.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <ostream>

void PrintTo(const CheckOutcome& outcome, std::ostream* os) {
    *os << "{launcher=" << outcome.launcherVersion.value_or("<none>").toStdString()
        << " client=" << outcome.clientRelease.value_or("<none>").toStdString() << "}";
}

namespace {

const QString version = QStringLiteral("0123456789abcdef");

CheckOutcome outcome(std::optional<QString> launcherVersion, std::optional<QString> clientRelease) {
    return {std::move(launcherVersion), std::move(clientRelease)};
}

struct Accepted {
    QString line;
    CheckOutcome expected;
};

void expectAccepted(const std::vector<Accepted>& cases) {
    for (const Accepted& c : cases)
        EXPECT_EQ(parseCheck(c.line), std::optional(c.expected)) << c.line.toStdString();
}

void expectRejected(const QStringList& lines) {
    for (const QString& line : lines)
        EXPECT_EQ(parseCheck(line), std::nullopt) << line.toStdString();
}

} // namespace

TEST(CheckResult, acceptsEveryNothingNewerForm) {
    expectAccepted({
        {"UPDATE_CHECK launcher=current client=current", outcome({}, {})},
        {"UPDATE_CHECK launcher=unknown client=unknown", outcome({}, {})},
        {"UPDATE_CHECK launcher=unpackaged client=current", outcome({}, {})},
        {"UPDATE_CHECK launcher=unconfigured client=current", outcome({}, {})},
        {"UPDATE_CHECK launcher=current client=current world=unknown", outcome({}, {})},
        {"UPDATE_CHECK launcher=current client=current world=1.2.3.0123456789ab", outcome({}, {})},
    });
}

TEST(CheckResult, recordsAvailableVersions) {
    const QString longest = "R" + QString(63, u'9');
    expectAccepted({
        {"UPDATE_CHECK launcher=available:" + version + " client=current", outcome(version, {})},
        {"UPDATE_CHECK launcher=current client=available:2026.12-b_1", outcome({}, "2026.12-b_1")},
        {"UPDATE_CHECK launcher=available:" + version + " client=available:r1 world=unknown",
         outcome(version, "r1")},
        {"UPDATE_CHECK launcher=current client=available:" + longest, outcome({}, longest)},
        {"UPDATE_CHECK launcher=current client=available:7", outcome({}, "7")},
    });
}

TEST(CheckResult, runsOfSpacesSeparateButOtherWhiteSpaceDoesNot) {
    expectAccepted({
        {"UPDATE_CHECK   launcher=current  client=current   world=unknown", outcome({}, {})},
        {"  UPDATE_CHECK launcher=current client=current  ", outcome({}, {})},
    });
    expectRejected({
        "UPDATE_CHECK\tlauncher=current client=current",
        "UPDATE_CHECK launcher=current\tclient=current",
        "UPDATE_CHECK launcher=current client=current\t",
        QString::fromUtf8("UPDATE_CHECK launcher=current\u00a0client=current"),
    });
}

TEST(CheckResult, rejectsIllFormedLauncherVersions) {
    expectRejected({
        "UPDATE_CHECK launcher=available:0123456789ABCDEF client=current",
        "UPDATE_CHECK launcher=available:0123456789abcde client=current",
        "UPDATE_CHECK launcher=available:0123456789abcdef0 client=current",
        "UPDATE_CHECK launcher=available: client=current",
        "UPDATE_CHECK launcher= client=current",
        "UPDATE_CHECK launcher=Current client=current",
        "UPDATE_CHECK launcher=available client=current",
        "UPDATE_CHECK launcher=latest:0123456789abcdef client=current",
    });
}

TEST(CheckResult, rejectsIllFormedClientReleases) {
    expectRejected({
        "UPDATE_CHECK launcher=current client=available:R" + QString(64, u'9'),
        "UPDATE_CHECK launcher=current client=available:.r1",
        "UPDATE_CHECK launcher=current client=available:-r1",
        "UPDATE_CHECK launcher=current client=available:_r1",
        "UPDATE_CHECK launcher=current client=available:r+1",
        "UPDATE_CHECK launcher=current client=available:r/1",
        "UPDATE_CHECK launcher=current client=available:",
        "UPDATE_CHECK launcher=current client=unpackaged",
        "UPDATE_CHECK launcher=current client=unconfigured",
        QString::fromUtf8("UPDATE_CHECK launcher=current client=available:rélease"),
    });
}

TEST(CheckResult, worldFieldIsValidatedButNotKept) {
    expectRejected({
        "UPDATE_CHECK launcher=current client=current world=1.2.3.0123456789a",
        "UPDATE_CHECK launcher=current client=current world=1.2.3.0123456789abc",
        "UPDATE_CHECK launcher=current client=current world=1.2.3.0123456789AB",
        "UPDATE_CHECK launcher=current client=current world=1234567890.2.3.0123456789ab",
        "UPDATE_CHECK launcher=current client=current world=1.2.0123456789ab",
        "UPDATE_CHECK launcher=current client=current world=",
        "UPDATE_CHECK launcher=current client=current world=Unknown",
    });
}

TEST(CheckResult, rejectsWrongFieldCountsAndOrder) {
    expectRejected({
        "UPDATE_CHECK",
        "UPDATE_CHECK launcher=current",
        "UPDATE_CHECK client=current launcher=current",
        "UPDATE_CHECK launcher=current world=unknown client=current",
        "UPDATE_CHECK world=unknown launcher=current client=current",
        "UPDATE_CHECK launcher=current client=current extra",
        "UPDATE_CHECK launcher=current client=current world=unknown extra",
        "UPDATE_CHECK launcher=current client=current world=unknown world=unknown",
        "update_check launcher=current client=current",
        "UPDATE_CHECKED launcher=current client=current",
        "",
    });
}
