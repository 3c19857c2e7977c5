#include "Files.h"

#include "config/Regions.h"

namespace {

const QByteArray twoRegions = R"([{"id": "eu-west", "name": "Europe West"},
                                  {"id": "na-east", "name": "North America East"}])";

QByteArray configuration(const QByteArray& schemaVersion, const QByteArray& regions = twoRegions,
                         const QByteArray& defaultRegion = "\"eu-west\"") {
    return "{\"schemaVersion\": " + schemaVersion + ", \"defaultRegion\": " + defaultRegion +
           ", \"regions\": " + regions + "}";
}

QByteArray withId(const QByteArray& id) {
    return configuration("3", "[{\"id\": \"" + id + "\", \"name\": \"n\"}]");
}

} // namespace

TEST(Regions, acceptsOnlyWellFormedFiles) {
    const QByteArray longest = "a" + QByteArray(31, 'b');
    const std::pair<QByteArray, bool> cases[] = {
        // The schema version is the integer 2 or 3, however it is written.
        {configuration("3.0"), true},
        {configuration("1"), false},
        {configuration("4"), false},
        {configuration("2.5"), false},
        {configuration("18446744073709551619"), false},
        // Every member is required with its type; others are ignored.
        {configuration("3", twoRegions).replace("}]", ", \"extra\": [1]}], \"x\": {}"), true},
        {R"({"defaultRegion": "a", "regions": [{"id": "a", "name": "A"}]})", false},
        {R"({"schemaVersion": 3, "defaultRegion": "a"})", false},
        {configuration("3", twoRegions, "1"), false},
        {configuration("3", R"(["eu-west"])"), false},
        {configuration("3", R"([{"id": 1, "name": "A"}])"), false},
        {configuration("3", R"([{"id": "eu-west"}])"), false},
        {configuration("3", R"([{"id": "eu-west", "name": ""}])"), true},
        // Not a JSON object.
        {"[" + configuration("3") + "]", false},
        // The list is non-empty, with valid, distinct ids; names may repeat.
        {configuration("3", "[]"), false},
        {withId(longest), true},
        {withId(longest + "b"), false},
        {configuration("3", R"([{"id": "eu", "name": "A"}, {"id": "eu", "name": "B"}])"), false},
        {configuration("3", R"([{"id": "eu", "name": "A"}, {"id": "na", "name": "A"}])"), true},
        // The default need not name a region: selection falls back past it.
        {configuration("3", twoRegions, "\"xx\""), true},
    };
    for (const auto& [json, accepted] : cases)
        EXPECT_EQ(Regions::decode(json).has_value(), accepted) << json.constData();
}

TEST(Regions, choosesCommandLineThenStoredThenDefault) {
    const QList<Region> regions{{"eu-west", "Europe"}, {"na-east", "America"}, {"ap", "Asia"}};
    struct Case {
        std::optional<QString> commandLine;
        std::optional<QString> stored;
        QString defaultRegion;
        std::optional<qsizetype> expected;
    };
    const Case cases[] = {
        {{}, {}, "na-east", 1},          {{}, "ap", "na-east", 2},
        {"eu-west", "ap", "na-east", 0}, {"xx", "ap", "na-east", 2},
        {"xx", "yy", "na-east", 1},      {"ap", {}, "xx", 2},
        {"xx", "yy", "zz", {}},          {"EU-WEST", "na-east ", "Ap", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(chooseRegionIndex(regions, c.commandLine, c.stored, c.defaultRegion), c.expected)
            << "case " << &c - cases;
    EXPECT_EQ(chooseRegionIndex({}, "eu-west", "eu-west", "eu-west"), std::nullopt);
}

using RegionsFile = TempDirTest;

TEST_F(RegionsFile, loadReadsOnlyValidBoundedRegularFiles) {
    const QByteArray valid = configuration("3", twoRegions, "\"na-east\"");
    const qsizetype limit = 16 * 1024 * 1024;
    writeFile(path("valid.json"), valid);
    writeFile(path("at-limit.json"), valid + QByteArray(limit - valid.size(), ' '));
    writeFile(path("over-limit.json"), valid + QByteArray(limit - valid.size() + 1, ' '));
    writeFile(path("invalid.json"), configuration("1"));
    ASSERT_TRUE(QFile::link(path("valid.json"), path("link.json")));
    // A FIFO without a writer would block a plain open.
    makeFifo(path("fifo.json"));

    const std::pair<QString, bool> cases[] = {
        {path("valid.json"), true},    {path("at-limit.json"), true},
        {path("link.json"), true},     {path("over-limit.json"), false},
        {path("invalid.json"), false}, {path("missing.json"), false},
        {dir.path(), false},           {QString(), false},
        {path("fifo.json"), false},
    };
    for (const auto& [file, loaded] : cases)
        EXPECT_EQ(Regions::load(file).has_value(), loaded) << file.toStdString();

    const std::optional<Regions> regions = Regions::load(path("link.json"));
    ASSERT_TRUE(regions);
    EXPECT_EQ(regions->schemaVersion, 3);
    EXPECT_EQ(regions->defaultRegion, "na-east");
    EXPECT_EQ(regions->regions,
              (QList<Region>{{"eu-west", "Europe West"}, {"na-east", "North America East"}}));
}
