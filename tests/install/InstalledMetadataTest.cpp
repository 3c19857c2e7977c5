#include "install/InstalledMetadata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString version = QStringLiteral("0123456789abcdef");
const QString world = QStringLiteral("1.2.3.0123456789ab");

InstalledMetadata metadata(const QString& release, const QString& revision,
                           std::optional<QString> world = std::nullopt) {
    return {release, revision, std::move(world)};
}

QByteArray metadataJson(const QByteArray& worldMember) {
    return R"({"releaseId": "2026.12", "sourceRevision": "abc", )" + worldMember + "}";
}

void write(const QString& path, const QByteArray& content) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(content), content.size());
}

} // namespace

TEST(InstalledMetadata, footerNamesLauncherAndGame) {
    struct Case {
        std::optional<QString> launcherVersion;
        std::optional<InstalledMetadata> metadata;
        QString expected;
    };
    const std::vector<Case> cases{
        {version, std::nullopt, u"Launcher 0123456789abcdef \u00b7 Game not installed"_qs},
        {std::nullopt, std::nullopt, u"Launcher unpackaged \u00b7 Game not installed"_qs},
        {version, metadata("2026.12", "abc", world),
         u"Launcher 0123456789abcdef \u00b7 Game 1.2.3.0123456789ab (2026.12)"_qs},
        {version, metadata("2026.12", "abc"), u"Launcher 0123456789abcdef \u00b7 Game 2026.12"_qs},
        {std::nullopt, metadata("", ""), u"Launcher unpackaged \u00b7 Game "_qs},
    };
    for (const Case& c : cases)
        EXPECT_EQ(footerText(c.launcherVersion, c.metadata), c.expected);
}

TEST(InstalledMetadata, detailShowsEightCharactersOfTheRevision) {
    const QString revision = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    const InstalledVersionDetail full =
        installedVersionDetail("Version", metadata("2026.12", revision));
    EXPECT_EQ(full.text, u"Version 2026.12  \u2022  source 01234567"_qs);
    EXPECT_EQ(full.toolTip, "Source revision " + revision);

    const InstalledVersionDetail empty = installedVersionDetail("Installed", metadata("", ""));
    EXPECT_EQ(empty.text, u"Installed   \u2022  source "_qs);
    EXPECT_EQ(empty.toolTip, "Source revision ");

    EXPECT_EQ(installedVersionDetail("Installed", metadata("r", "abc")).text,
              u"Installed r  \u2022  source abc"_qs);
    EXPECT_EQ(installedVersionDetail("Installed", metadata("r", "abcdefgh")).text,
              u"Installed r  \u2022  source abcdefgh"_qs);

    // User-perceived characters: a letter with a combining accent and a flag count as one each.
    const QString accented = (u"e\u0301"_qs).repeated(9);
    EXPECT_EQ(installedVersionDetail("Installed", metadata("r", accented)).text,
              u"Installed r  \u2022  source "_qs + (u"e\u0301"_qs).repeated(8));
    const QString flags = (u"\U0001F1EB\U0001F1F7"_qs).repeated(9);
    EXPECT_EQ(installedVersionDetail("Installed", metadata("r", flags)).text,
              u"Installed r  \u2022  source "_qs + (u"\U0001F1EB\U0001F1F7"_qs).repeated(8));
}

TEST(InstalledMetadata, worldIsKeptOnlyInItsExactForm) {
    const std::vector<std::pair<QByteArray, std::optional<QString>>> cases{
        {R"("worldVersion": "1.2.3.0123456789ab")", world},
        {R"("worldVersion": "1.2.3.0123456789a")", std::nullopt},
        {R"("worldVersion": "1.2.3.0123456789abc")", std::nullopt},
        {R"("worldVersion": "1.2.3.0123456789AB")", std::nullopt},
        {R"("worldVersion": "v1.2.3.0123456789ab")", std::nullopt},
        {R"("worldVersion": "1.2.3.0123456789ab\n")", std::nullopt},
        {R"("worldVersion": 1.2)", std::nullopt},
        {R"("worldVersion": null)", std::nullopt},
        {R"("other": 1)", std::nullopt},
    };
    for (const auto& [member, expected] : cases) {
        const std::optional<InstalledMetadata> decoded =
            InstalledMetadata::decode(metadataJson(member));
        ASSERT_TRUE(decoded) << member.constData();
        EXPECT_EQ(decoded->release, "2026.12");
        EXPECT_EQ(decoded->revision, "abc");
        EXPECT_EQ(decoded->world, expected) << member.constData();
    }
}

TEST(InstalledMetadata, releaseAndRevisionMustBeStrings) {
    const std::vector<std::pair<QByteArray, bool>> cases{
        {R"({"releaseId": "", "sourceRevision": ""})", true},
        {R"({"releaseId": "r", "sourceRevision": "s", "extra": [1, {}]})", true},
        {R"({"releaseId": 2026, "sourceRevision": "s", "worldVersion": "1.2.3.0123456789ab"})",
         false},
        {R"({"releaseId": "r", "sourceRevision": 5})", false},
        {R"({"releaseId": null, "sourceRevision": "s"})", false},
        {R"({"sourceRevision": "s"})", false},
        {R"({"releaseId": "r"})", false},
        {R"({"ReleaseId": "r", "sourceRevision": "s"})", false},
        {R"([{"releaseId": "r", "sourceRevision": "s"}])", false},
        {R"("r")", false},
        {"", false},
        {"\x00\x01\xff\xfe junk", false},
        {R"({"releaseId": "r", "sourceRevision": "s")", false},
    };
    for (const auto& [json, accepted] : cases)
        EXPECT_EQ(InstalledMetadata::decode(json).has_value(), accepted) << json.constData();
}

TEST(InstalledMetadata, eachRegionHasItsOwnFile) {
    EXPECT_EQ(currentMetadataPath("/home/p/Thornwake", QString("eu-west")),
              "/home/p/Thornwake/client/regions/eu-west/current.json");
    EXPECT_EQ(currentMetadataPath("/home/p/Thornwake", std::nullopt),
              "/home/p/Thornwake/client/regions/production/current.json");
}

TEST(InstalledMetadata, readsOnlyBoundedRegularFiles) {
    QTemporaryDir support;
    ASSERT_TRUE(support.isValid());
    const QString path = currentMetadataPath(support.path(), QString("eu-west"));
    EXPECT_FALSE(InstalledMetadata::read(path)) << "missing";

    write(path,
          R"({"releaseId": "r", "sourceRevision": "s", "worldVersion": "1.2.3.0123456789ab"})");
    const std::optional<InstalledMetadata> read = InstalledMetadata::read(path);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->release, "r");
    EXPECT_EQ(read->world, world);

    // Over the bound (a sparse file, so the test stays cheap).
    const QString huge = currentMetadataPath(support.path(), QString("huge"));
    write(huge, R"({"releaseId": "r", "sourceRevision": "s"})");
    ASSERT_TRUE(QFile::resize(huge, 16 * 1024 * 1024 + 1));
    EXPECT_FALSE(InstalledMetadata::read(huge));

    const QString directory = currentMetadataPath(support.path(), QString("directory"));
    ASSERT_TRUE(QDir().mkpath(directory));
    EXPECT_FALSE(InstalledMetadata::read(directory));

    const QString fifo = currentMetadataPath(support.path(), std::nullopt);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(fifo).path()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(InstalledMetadata::read(fifo));
}
