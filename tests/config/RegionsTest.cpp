#include "config/Regions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const twoRegions = R"([{"id": "eu-west", "name": "Europe West"},
                                   {"id": "na-east", "name": "North America East"}])";

QByteArray configuration(const QByteArray& schemaVersion, const QByteArray& regions,
                         const QByteArray& defaultRegion = "\"eu-west\"") {
    return "{\"schemaVersion\": " + schemaVersion + ", \"defaultRegion\": " + defaultRegion +
           ", \"regions\": " + regions + "}";
}

QByteArray withIds(const QList<QByteArray>& ids) {
    QByteArray list = "[";
    for (const QByteArray& id : ids)
        list +=
            QByteArray(list.size() > 1 ? ", " : "") + "{\"id\": \"" + id + "\", \"name\": \"n\"}";
    return list + "]";
}

struct Case {
    const char* what;
    QByteArray json;
    bool accepted;
};

void expectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases)
        EXPECT_EQ(Regions::decode(c.json).has_value(), c.accepted)
            << c.what << ": " << c.json.constData();
}

void write(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
}

} // namespace

TEST(Regions, decodesTheFileInOrder) {
    const std::optional<Regions> regions = Regions::decode(
        configuration("3", twoRegions, "\"na-east\"").replace("}]", ", \"extra\": [1]}]"));
    ASSERT_TRUE(regions);
    EXPECT_EQ(regions->schemaVersion, 3);
    EXPECT_EQ(regions->defaultRegion, "na-east");
    EXPECT_EQ(regions->regions,
              (QList<Region>{{"eu-west", "Europe West"}, {"na-east", "North America East"}}));
}

TEST(Regions, schemaVersionMustBeTheIntegerTwoOrThree) {
    expectAll({
        {"2", configuration("2", twoRegions), true},
        {"3", configuration("3", twoRegions), true},
        {"integral written with a fraction", configuration("3.0", twoRegions), true},
        {"0", configuration("0", twoRegions), false},
        {"1", configuration("1", twoRegions), false},
        {"4", configuration("4", twoRegions), false},
        {"negative", configuration("-3", twoRegions), false},
        {"fraction", configuration("2.5", twoRegions), false},
        {"string", configuration("\"3\"", twoRegions), false},
        {"boolean", configuration("true", twoRegions), false},
        {"null", configuration("null", twoRegions), false},
        {"beyond 64 bits", configuration("18446744073709551619", twoRegions), false},
        {"overflowing", configuration("1e400", twoRegions), false},
    });
}

TEST(Regions, everyMemberIsRequiredWithItsType) {
    expectAll({
        {"extra top-level member", configuration("3", twoRegions).replace("{", "{\"x\": {},"),
         true},
        {"no schema version", R"({"defaultRegion": "a", "regions": [{"id": "a", "name": "A"}]})",
         false},
        {"no default", R"({"schemaVersion": 3, "regions": [{"id": "a", "name": "A"}]})", false},
        {"no regions", R"({"schemaVersion": 3, "defaultRegion": "a"})", false},
        {"default a number", configuration("3", twoRegions, "1"), false},
        {"default null", configuration("3", twoRegions, "null"), false},
        {"regions an object", configuration("3", R"({"id": "a", "name": "A"})"), false},
        {"element a string", configuration("3", R"(["eu-west"])"), false},
        {"id a number", configuration("3", R"([{"id": 1, "name": "A"}])"), false},
        {"no id", configuration("3", R"([{"name": "A"}])"), false},
        {"no name", configuration("3", R"([{"id": "eu-west"}])"), false},
        {"name a number", configuration("3", R"([{"id": "eu-west", "name": 5}])"), false},
        {"name null", configuration("3", R"([{"id": "eu-west", "name": null}])"), false},
        {"empty name", configuration("3", R"([{"id": "eu-west", "name": ""}])"), true},
        {"member names are case-sensitive",
         R"({"SchemaVersion": 3, "defaultRegion": "a", "regions": [{"id": "a", "name": "A"}]})",
         false},
    });
}

TEST(Regions, malformedDocumentsAreRejected) {
    expectAll({
        {"empty", "", false},
        {"not JSON", "schemaVersion = 3", false},
        {"array at top level", "[" + configuration("3", twoRegions) + "]", false},
        {"string at top level", "\"eu-west\"", false},
        {"truncated", configuration("3", twoRegions).chopped(1), false},
        {"invalid UTF-8", configuration("3", twoRegions).replace("Europe", "Eur\xff\xfeope"),
         false},
        // Nesting this deep is refused by the parser's depth limit rather than overflowing the
        // stack.
        {"deep nesting",
         configuration("3", twoRegions)
             .replace("{\"schemaVersion", "{\"x\": " + QByteArray(100000, '[') +
                                              QByteArray(100000, ']') + ", \"schemaVersion"),
         false},
    });
}

TEST(Regions, regionListMustBeNonEmptyWithValidDistinctIds) {
    const QByteArray longest = "a" + QByteArray(31, 'b');
    expectAll({
        {"empty list", configuration("3", "[]"), false},
        {"32-character id", configuration("3", withIds({longest})), true},
        {"33-character id", configuration("3", withIds({longest + "b"})), false},
        {"capitals", configuration("3", withIds({"eu-west", "NA-EAST"})), false},
        {"leading digit", configuration("3", withIds({"1eu"})), false},
        {"leading hyphen", configuration("3", withIds({"-eu"})), false},
        {"empty id", configuration("3", withIds({""})), false},
        {"same id, different names",
         configuration("3", R"([{"id": "eu", "name": "A"}, {"id": "eu", "name": "B"}])"), false},
        {"same name, different ids",
         configuration("3", R"([{"id": "eu", "name": "A"}, {"id": "na", "name": "A"}])"), true},
        {"default naming no region still decodes", configuration("3", twoRegions, "\"xx\""), true},
    });
}

TEST(Regions, choosesCommandLineThenStoredThenDefault) {
    const QList<Region> regions{{"eu-west", "Europe"}, {"na-east", "America"}, {"ap", "Asia"}};
    struct Choice {
        const char* what;
        std::optional<QString> commandLine;
        std::optional<QString> stored;
        QString defaultRegion;
        std::optional<qsizetype> expected;
    };
    const std::vector<Choice> cases{
        {"only default", {}, {}, "na-east", 1},
        {"stored over default", {}, "ap", "na-east", 2},
        {"command line over stored", "eu-west", "ap", "na-east", 0},
        {"unknown command line", "xx", "ap", "na-east", 2},
        {"unknown command line and stored", "xx", "yy", "na-east", 1},
        {"unknown default, command line names one", "ap", {}, "xx", 2},
        {"unknown default, stored names one", {}, "na-east", "xx", 1},
        {"nothing names a region", "xx", "yy", "zz", {}},
        {"comparison is exact", "EU-WEST", "na-east ", "Ap", {}},
        {"empty stored choice", {}, "", "ap", 2},
    };
    for (const Choice& c : cases)
        EXPECT_EQ(chooseRegionIndex(regions, c.commandLine, c.stored, c.defaultRegion), c.expected)
            << c.what;
    EXPECT_EQ(chooseRegionIndex({}, "eu-west", "eu-west", "eu-west"), std::nullopt);
}

TEST(Regions, loadReadsOnlyBoundedRegularFiles) {
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString valid = directory.filePath("launcher-config.json");
    write(valid, configuration("3", twoRegions));
    EXPECT_TRUE(Regions::load(valid));

    // The file is read wherever its path leads.
    const QString link = directory.filePath("link.json");
    ASSERT_TRUE(QFile::link(valid, link));
    EXPECT_TRUE(Regions::load(link));

    EXPECT_FALSE(Regions::load(directory.filePath("missing.json")));
    EXPECT_FALSE(Regions::load(directory.path()));
    EXPECT_FALSE(Regions::load(QString()));

    const QString invalid = directory.filePath("invalid.json");
    write(invalid, configuration("1", twoRegions));
    EXPECT_FALSE(Regions::load(invalid));

    // A FIFO without a writer would block a plain open; it must be refused at once.
    const QString fifo = directory.filePath("fifo.json");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(Regions::load(fifo));
}

TEST(Regions, loadAcceptsSixteenMebibytesAndNoMore) {
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const qsizetype limit = 16 * 1024 * 1024;
    QByteArray content = configuration("3", twoRegions);
    content += QByteArray(limit - content.size(), ' ');

    const QString atLimit = directory.filePath("at-limit.json");
    write(atLimit, content);
    EXPECT_TRUE(Regions::load(atLimit));

    const QString overLimit = directory.filePath("over-limit.json");
    write(overLimit, content + " ");
    EXPECT_FALSE(Regions::load(overLimit));
}
