// The region configuration file: whatever decodes must satisfy every rule of the format, and the
// selection must only ever name a region of the file.
#include "Expect.h"
#include "config/Regions.h"

#include <QSet>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray json(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<Regions> decoded = Regions::decode(json);
    if (!decoded)
        return 0;

    FUZZ_EXPECT(decoded->schemaVersion == 2 || decoded->schemaVersion == 3,
                QString::number(decoded->schemaVersion));
    FUZZ_EXPECT(!decoded->regions.isEmpty(), json);
    QSet<QString> ids;
    for (const Region& region : decoded->regions) {
        FUZZ_EXPECT(reference::isRegionId(region.id), region.id);
        ids.insert(region.id);
    }
    FUZZ_EXPECT(ids.size() == decoded->regions.size(), json);

    // Every candidate order: the index names the first candidate that is a region, or none.
    const QString first = decoded->regions.front().id;
    const QString last = decoded->regions.back().id;
    const std::optional<qsizetype> chosen =
        chooseRegionIndex(decoded->regions, std::nullopt, first, decoded->defaultRegion);
    FUZZ_EXPECT(chosen && decoded->regions.at(*chosen).id == first, first);
    const std::optional<qsizetype> byDefault =
        chooseRegionIndex(decoded->regions, std::nullopt, std::nullopt, decoded->defaultRegion);
    FUZZ_EXPECT(byDefault.has_value() == ids.contains(decoded->defaultRegion),
                decoded->defaultRegion);
    if (byDefault)
        FUZZ_EXPECT(decoded->regions.at(*byDefault).id == decoded->defaultRegion,
                    decoded->defaultRegion);
    const std::optional<qsizetype> byCommandLine =
        chooseRegionIndex(decoded->regions, last, first, decoded->defaultRegion);
    FUZZ_EXPECT(byCommandLine && decoded->regions.at(*byCommandLine).id == last, last);
    return 0;
}
