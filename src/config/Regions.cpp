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

std::nullopt_t refuse(QString* why, const QString& reason) {
    if (why)
        *why = reason;
    return std::nullopt;
}

} // namespace

std::optional<Regions> Regions::decode(const QByteArray& json, QString* why) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return refuse(why, QStringLiteral("it is not valid JSON (%1 at byte %2)")
                               .arg(error.errorString())
                               .arg(error.offset));
    if (!document.isObject())
        return refuse(why, QStringLiteral("its top level is not a JSON object"));
    const QJsonObject object = document.object();

    const std::optional<qint64> schemaVersion = integralValue(object.value(u"schemaVersion"));
    const QJsonValue defaultRegion = object.value(u"defaultRegion");
    const QJsonValue regionList = object.value(u"regions");
    if (!schemaVersion)
        return refuse(why, QStringLiteral("\"schemaVersion\" is missing or not an integer"));
    if (!defaultRegion.isString())
        return refuse(why, QStringLiteral("\"defaultRegion\" is missing or not a string"));
    if (!regionList.isArray())
        return refuse(why, QStringLiteral("\"regions\" is missing or not an array"));

    Regions decoded;
    decoded.schemaVersion = *schemaVersion;
    decoded.defaultRegion = defaultRegion.toString();
    const QJsonArray array = regionList.toArray();
    decoded.regions.reserve(array.size());
    for (const QJsonValue& element : array) {
        const auto which = [&] {
            return QStringLiteral("region %1 of \"regions\"").arg(decoded.regions.size() + 1);
        };
        if (!element.isObject())
            return refuse(why, which() + QStringLiteral(" is not an object"));
        const QJsonObject region = element.toObject();
        const QJsonValue id = region.value(u"id");
        const QJsonValue name = region.value(u"name");
        if (!id.isString())
            return refuse(why, which() + QStringLiteral(" has no \"id\" string"));
        if (!name.isString())
            return refuse(why, which() + QStringLiteral(" has no \"name\" string"));
        decoded.regions.append(Region{id.toString(), name.toString()});
    }

    if (decoded.schemaVersion != 2 && decoded.schemaVersion != 3)
        return refuse(why, QStringLiteral("\"schemaVersion\" is %1; the launcher reads 2 or 3")
                               .arg(decoded.schemaVersion));
    if (decoded.regions.isEmpty())
        return refuse(why, QStringLiteral("\"regions\" is empty"));
    QSet<QString> ids;
    for (const Region& region : decoded.regions) {
        if (!isRegionId(region.id))
            return refuse(why, QStringLiteral("the region id \"%1\" is not 1 to 32 lowercase "
                                              "letters, digits or hyphens starting with a letter")
                                   .arg(region.id));
        if (ids.contains(region.id))
            return refuse(why, QStringLiteral("the region id \"%1\" is used twice").arg(region.id));
        ids.insert(region.id);
    }
    return decoded;
}

std::optional<Regions> Regions::load(const QString& path, QString* why) {
    const std::optional<QByteArray> content = readRegularFile(path, fileSizeLimit);
    if (!content)
        return refuse(why, QStringLiteral("it cannot be read (missing, not a regular file, or "
                                          "over %1 MiB)")
                               .arg(fileSizeLimit / (1024 * 1024)));
    return decode(*content, why);
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
