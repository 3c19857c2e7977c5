#include "../config/Files.h"

#include "install/InstalledMetadata.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <ostream>

bool operator==(const InstalledMetadata& a, const InstalledMetadata& b) {
    return a.release == b.release && a.revision == b.revision && a.world == b.world;
}

void PrintTo(const InstalledMetadata& m, std::ostream* os) {
    *os << "{" << m.release.toStdString() << ", " << m.revision.toStdString() << ", "
        << m.world.value_or("<none>").toStdString() << "}";
}

namespace {

const QString world = "1.2.3.0123456789ab";

InstalledMetadata metadata(const QString& release, const QString& revision,
                           std::optional<QString> world = std::nullopt) {
    return {release, revision, std::move(world)};
}

} // namespace

TEST(InstalledMetadata, footerNamesLauncherAndGame) {
    const QString version = "0123456789abcdef";
    const std::tuple<std::optional<QString>, std::optional<InstalledMetadata>, QString> cases[] = {
        {version, {}, u"Launcher 0123456789abcdef \u00b7 Game not installed"_qs},
        {{}, {}, u"Launcher unpackaged \u00b7 Game not installed"_qs},
        {version, metadata("2026.12", "abc", world),
         u"Launcher 0123456789abcdef \u00b7 Game 1.2.3.0123456789ab (2026.12)"_qs},
        {{}, metadata("2026.12", "abc"), u"Launcher unpackaged \u00b7 Game 2026.12"_qs},
    };
    for (const auto& [launcher, installed, expected] : cases)
        EXPECT_EQ(footerText(launcher, installed), expected);
}

TEST(InstalledMetadata, detailShowsEightCharactersOfTheRevision) {
    // User-perceived characters: an accented letter or a flag counts as one.
    const QString accented = u"e\u0301"_qs, flag = u"\U0001F1EB\U0001F1F7"_qs;
    const std::pair<QString, QString> cases[] = {
        {"0123456789abcdef0123456789abcdef01234567", "01234567"},
        {"abcdefgh", "abcdefgh"},
        {"abc", "abc"},
        {accented.repeated(9), accented.repeated(8)},
        {flag.repeated(9), flag.repeated(8)},
    };
    for (const auto& [revision, shown] : cases) {
        const InstalledVersionDetail detail =
            installedVersionDetail("Installed", metadata("2026.12", revision));
        EXPECT_EQ(detail.text, u"Installed 2026.12  \u2022  source "_qs + shown);
        EXPECT_EQ(detail.toolTip, "Source revision " + revision);
    }
}

TEST(InstalledMetadata, decodesStringReleaseAndRevisionAndAWellFormedWorld) {
    const std::pair<QByteArray, std::optional<InstalledMetadata>> cases[] = {
        {R"({"releaseId": "", "sourceRevision": "", "extra": [1]})", metadata("", "")},
        {R"({"releaseId": 2026, "sourceRevision": "s"})", {}},
        {R"({"releaseId": "r", "sourceRevision": 5})", {}},
        {R"({"releaseId": "r"})", {}},
        {R"([{"releaseId": "r", "sourceRevision": "s"}])", {}},
    };
    for (const auto& [json, expected] : cases)
        EXPECT_EQ(InstalledMetadata::decode(json), expected) << json.constData();

    // A world version of any other form is left out; the rest still counts.
    for (const QString form : {"1.2.3.0123456789ab", "1.2.3.0123456789a", "1.2.3.0123456789abc",
                               "1.2.3.0123456789AB", "1.2.3.0123456789ab\n"}) {
        const QJsonObject object{
            {"releaseId", "r"}, {"sourceRevision", "s"}, {"worldVersion", form}};
        EXPECT_EQ(InstalledMetadata::decode(QJsonDocument(object).toJson()),
                  metadata("r", "s", form == world ? std::optional(world) : std::nullopt));
    }
}

using InstalledMetadataFile = TempDirTest;

TEST_F(InstalledMetadataFile, eachRegionHasItsOwnBoundedRegularFile) {
    EXPECT_EQ(currentMetadataPath("/s", QString("eu-west")),
              "/s/client/regions/eu-west/current.json");
    EXPECT_EQ(currentMetadataPath("/s", {}), "/s/client/regions/production/current.json");

    const QByteArray valid = R"({"releaseId": "r", "sourceRevision": "s"})";
    const qsizetype limit = 16 * 1024 * 1024;
    writeFile(path("at-limit"), valid + QByteArray(limit - valid.size(), ' '));
    writeFile(path("over-limit"), valid + QByteArray(limit - valid.size() + 1, ' '));
    ASSERT_TRUE(QDir().mkpath(path("directory")));
    makeFifo(path("fifo"));

    EXPECT_EQ(InstalledMetadata::read(path("at-limit")), metadata("r", "s"));
    for (const char* name : {"missing", "over-limit", "directory", "fifo"})
        EXPECT_FALSE(InstalledMetadata::read(path(name))) << name;
}
