#include "Files.h"

#include "config/Regions.h"

namespace {

QByteArray configuration(const QByteArray& schemaVersion, const QByteArray& regions,
                         const QByteArray& defaultRegion = "\"eu\"") {
    return "{\"schemaVersion\": " + schemaVersion + ", \"defaultRegion\": " + defaultRegion +
           ", \"regions\": " + regions + "}";
}

const QByteArray two = R"([{"id": "eu", "name": "Europe"}, {"id": "na", "name": "America"}])";

} // namespace

TEST(Regions, acceptsOnlyWellFormedFiles) {
    const QByteArray longest = "a" + QByteArray(31, 'b');
    const std::pair<QByteArray, bool> cases[] = {
        // The schema version is the integer 2 or 3, however it is written.
        {configuration("3.0", two), true},
        {configuration("1", two), false},
        {configuration("2.5", two), false},
        {configuration("18446744073709551619", two), false},
        // Every member is required with its type; others are ignored.
        {configuration("3", two).replace("}]", ", \"extra\": [1]}], \"x\": {}"), true},
        {R"({"defaultRegion": "a", "regions": [{"id": "a", "name": "A"}]})", false},
        {configuration("3", two, "1"), false},
        {configuration("3", R"([{"id": 1, "name": "A"}])"), false},
        {configuration("3", R"([{"id": "eu"}])"), false},
        {"[" + configuration("3", two) + "]", false},
        // The list is non-empty, with valid, distinct ids; names may repeat, and the default
        // need not name a region.
        {configuration("3", "[]"), false},
        {configuration("3", "[{\"id\": \"" + longest + "\", \"name\": \"n\"}]"), true},
        {configuration("3", "[{\"id\": \"" + longest + "b\", \"name\": \"n\"}]"), false},
        {configuration("3", R"([{"id": "eu", "name": "A"}, {"id": "eu", "name": "B"}])"), false},
        {configuration("3", R"([{"id": "eu", "name": "A"}, {"id": "na", "name": "A"}])", "\"x\""),
         true},
    };
    for (const auto& [json, accepted] : cases)
        EXPECT_EQ(Regions::decode(json).has_value(), accepted) << json.constData();
}

TEST(Regions, choosesCommandLineThenStoredThenDefault) {
    const QList<Region> regions{{"eu", "Europe"}, {"na", "America"}, {"ap", "Asia"}};
    using Choice = std::optional<QString>;
    const std::tuple<Choice, Choice, QString, std::optional<qsizetype>> cases[] = {
        {{}, {}, "na", 1},       {{}, "ap", "na", 2},   {"eu", "ap", "na", 0},
        {"xx", "ap", "na", 2},   {"xx", "yy", "na", 1}, {"xx", "yy", "zz", {}},
        {"EU", "na ", "Ap", {}},
    };
    for (const auto& [commandLine, stored, defaultRegion, expected] : cases)
        EXPECT_EQ(chooseRegionIndex(regions, commandLine, stored, defaultRegion), expected);
}

using RegionsFile = TempDirTest;

TEST_F(RegionsFile, loadReadsOnlyValidBoundedRegularFiles) {
    const QByteArray valid = configuration("3", two, "\"na\"");
    const qsizetype limit = 16 * 1024 * 1024;
    writeFile(path("valid.json"), valid);
    writeFile(path("at-limit.json"), valid + QByteArray(limit - valid.size(), ' '));
    writeFile(path("over-limit.json"), valid + QByteArray(limit - valid.size() + 1, ' '));
    ASSERT_TRUE(QFile::link(path("valid.json"), path("link.json")));
    // A FIFO without a writer would block a plain open.
    makeFifo(path("fifo.json"));
    for (const char* name : {"valid.json", "at-limit.json", "link.json"})
        EXPECT_TRUE(Regions::load(path(name))) << name;
    for (const char* name : {"over-limit.json", "missing.json", ".", "fifo.json"})
        EXPECT_FALSE(Regions::load(path(name))) << name;
    const Regions regions = *Regions::load(path("link.json"));
    EXPECT_EQ(regions.defaultRegion, "na");
    EXPECT_EQ(regions.regions, (QList<Region>{{"eu", "Europe"}, {"na", "America"}}));
}
