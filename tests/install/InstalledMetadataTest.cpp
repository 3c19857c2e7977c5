#include "../config/Files.h"

#include "install/InstalledMetadata.h"

bool operator==(const InstalledMetadata& a, const InstalledMetadata& b) {
    return a.release == b.release && a.revision == b.revision && a.world == b.world;
}

namespace {

const InstalledMetadata r1{"r1", "s", std::nullopt};

} // namespace

TEST(InstalledMetadata, footerAndDetailNameLauncherGameAndEightCharactersOfTheRevision) {
    const QString version = "0123456789abcdef";
    EXPECT_EQ(footerText(version, std::nullopt),
              u"Launcher 0123456789abcdef \u00b7 Game not installed"_qs);
    EXPECT_EQ(footerText({}, r1), u"Launcher unpackaged \u00b7 Game r1"_qs);
    EXPECT_EQ(footerText(version, InstalledMetadata{"r1", "s", "1.2.3.0123456789ab"}),
              u"Launcher 0123456789abcdef \u00b7 Game 1.2.3.0123456789ab (r1)"_qs);
    // User-perceived characters: an accented letter or a flag counts as one.
    for (const QString& unit : {u"0"_qs, u"e\u0301"_qs, u"\U0001F1EB\U0001F1F7"_qs}) {
        const InstalledVersionDetail detail =
            installedVersionDetail("Installed", {"r1", unit.repeated(9), std::nullopt});
        EXPECT_EQ(detail.text, u"Installed r1  \u2022  source "_qs + unit.repeated(8));
        EXPECT_EQ(detail.toolTip, "Source revision " + unit.repeated(9));
    }
}

TEST(InstalledMetadata, decodesStringReleaseAndRevisionAndOnlyAWellFormedWorld) {
    const std::pair<QByteArray, std::optional<InstalledMetadata>> cases[] = {
        {R"({"releaseId": "r1", "sourceRevision": "s", "extra": [1]})", r1},
        {R"({"releaseId": 2026, "sourceRevision": "s"})", {}},
        {R"({"releaseId": "r1"})", {}},
        {R"([{"releaseId": "r1", "sourceRevision": "s"}])", {}},
        {R"({"releaseId": "r1", "sourceRevision": "s", "worldVersion": "1.2.3.0123456789ab"})",
         InstalledMetadata{"r1", "s", "1.2.3.0123456789ab"}},
        {R"({"releaseId": "r1", "sourceRevision": "s", "worldVersion": "1.2.3.0123456789AB"})", r1},
        {R"({"releaseId": "r1", "sourceRevision": "s", "worldVersion": "1.2.3.0123456789ab\n"})",
         r1},
    };
    for (const auto& [json, expected] : cases)
        EXPECT_EQ(InstalledMetadata::decode(json), expected) << json.constData();
}

using InstalledMetadataFile = TempDirTest;

TEST_F(InstalledMetadataFile, eachRegionHasItsOwnBoundedRegularFile) {
    EXPECT_EQ(currentMetadataPath("/s", QString("eu-west")),
              "/s/client/regions/eu-west/current.json");
    EXPECT_EQ(currentMetadataPath("/s", {}), "/s/client/regions/production/current.json");
    const QByteArray valid = R"({"releaseId": "r1", "sourceRevision": "s"})";
    const qsizetype limit = 16 * 1024 * 1024;
    writeFile(path("at-limit"), valid + QByteArray(limit - valid.size(), ' '));
    writeFile(path("over-limit"), valid + QByteArray(limit - valid.size() + 1, ' '));
    makeFifo(path("fifo"));
    EXPECT_EQ(InstalledMetadata::read(path("at-limit")), r1);
    for (const char* name : {"missing", "over-limit", ".", "fifo"})
        EXPECT_FALSE(InstalledMetadata::read(path(name))) << name;
}
