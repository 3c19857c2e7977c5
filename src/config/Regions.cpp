#include "config/Regions.h"

#include "config/Identifiers.h"
#include "config/RegularFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>

#include <cmath>

namespace {

constexpr qint64 fileSizeLimit = 16 * 1024 * 1024;

// Qt reads every JSON number as a double, so an integral member is checked by hand.
std::optional<qint64> integralValue(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    // The bounds are -2^63 and 2^63, both exact doubles; NaN fails both comparisons.
    if (!(number >= -9223372036854775808.0 && number < 9223372036854775808.0))
        return std::nullopt;
    if (std::trunc(number) != number)
        return std::nullopt;
    return static_cast<qint64>(number);
}

} // namespace

std::optional<Regions> Regions::decode(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    const std::optional<qint64> schemaVersion = integralValue(object.value(u"schemaVersion"));
    const QJsonValue defaultRegion = object.value(u"defaultRegion");
    const QJsonValue regionList = object.value(u"regions");
    if (!schemaVersion || !defaultRegion.isString() || !regionList.isArray())
        return std::nullopt;

    Regions decoded;
    decoded.schemaVersion = *schemaVersion;
    decoded.defaultRegion = defaultRegion.toString();
    const QJsonArray array = regionList.toArray();
    decoded.regions.reserve(array.size());
    for (const QJsonValue& element : array) {
        if (!element.isObject())
            return std::nullopt;
        const QJsonObject region = element.toObject();
        const QJsonValue id = region.value(u"id");
        const QJsonValue name = region.value(u"name");
        if (!id.isString() || !name.isString())
            return std::nullopt;
        decoded.regions.append(Region{id.toString(), name.toString()});
    }

    if (decoded.schemaVersion != 2 && decoded.schemaVersion != 3)
        return std::nullopt;
    if (decoded.regions.isEmpty())
        return std::nullopt;
    QSet<QString> ids;
    for (const Region& region : decoded.regions) {
        if (!isRegionId(region.id))
            return std::nullopt;
        ids.insert(region.id);
    }
    if (ids.size() != decoded.regions.size())
        return std::nullopt;
    return decoded;
}

std::optional<Regions> Regions::load(const QString& path) {
    const std::optional<QByteArray> content = readRegularFile(path, fileSizeLimit);
    if (!content)
        return std::nullopt;
    return decode(*content);
}

std::optional<qsizetype> chooseRegionIndex(const QList<Region>& regions,
                                           const std::optional<QString>& commandLine,
                                           const std::optional<QString>& stored,
                                           const QString& defaultRegion) {
    for (const std::optional<QString>& candidate :
         {commandLine, stored, std::optional(defaultRegion)}) {
        if (!candidate)
            continue;
        for (qsizetype index = 0; index < regions.size(); ++index) {
            if (regions.at(index).id == *candidate)
                return index;
        }
    }
    return std::nullopt;
}
