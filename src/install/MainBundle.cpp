#include "install/MainBundle.h"

#include "config/Identifiers.h"
#include "config/RegularFile.h"

#include <QDir>
#include <QFileInfo>
#include <QXmlStreamReader>

namespace {

constexpr qint64 infoPlistSizeLimit = 1024 * 1024;

// The value of `key` in the property list's top-level dictionary, read from the whole document:
// a document that is not well-formed yields nothing, as it would give no dictionary at all.
std::optional<QString> readInfoString(const QByteArray& document, const QString& key) {
    QXmlStreamReader reader(document);
    if (!reader.readNextStartElement() || reader.name() != u"plist")
        return std::nullopt;
    if (!reader.readNextStartElement() || reader.name() != u"dict")
        return std::nullopt;

    std::optional<QString> found;
    bool decided = false;
    while (reader.readNextStartElement()) {
        if (reader.name() != u"key")
            return std::nullopt;
        const QString name = reader.readElementText();
        if (reader.hasError() || !reader.readNextStartElement())
            return std::nullopt;
        if (!decided && name == key) {
            decided = true;
            if (reader.name() == u"string") {
                found = reader.readElementText();
                continue;
            }
        }
        reader.skipCurrentElement();
    }
    if (reader.hasError())
        return std::nullopt;
    // After the dictionary only the closing of the plist and the end of the document may follow.
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement())
            return std::nullopt;
    }
    if (reader.hasError())
        return std::nullopt;
    return found;
}

} // namespace

MainBundle MainBundle::forExecutable(const QString& executablePath) {
    const QString executable = QDir::cleanPath(QFileInfo(executablePath).absoluteFilePath());
    const QString directory = QFileInfo(executable).path();

    MainBundle bundle;
    const QFileInfo macOS(directory);
    const QFileInfo contents(macOS.path());
    if (macOS.fileName() == u"MacOS" && contents.fileName() == u"Contents") {
        bundle.location = contents.path();
        bundle.resourceDirectory =
            QDir::cleanPath(contents.filePath() + QStringLiteral("/Resources"));
        bundle.infoPlistPath = QDir::cleanPath(contents.filePath() + QStringLiteral("/Info.plist"));
    } else {
        bundle.location = directory;
        bundle.resourceDirectory = directory;
    }
    return bundle;
}

std::optional<QString> MainBundle::launcherBundleURL() const {
    if (location.isEmpty() || QFileInfo(location).suffix() != u"app")
        return std::nullopt;
    return location;
}

std::optional<QString> MainBundle::retiredBundleURL() const {
    const std::optional<QString> bundle = launcherBundleURL();
    if (!bundle)
        return std::nullopt;
    return *bundle + QStringLiteral(".old");
}

std::optional<QString> MainBundle::infoString(const QString& key) const {
    if (infoPlistPath.isEmpty())
        return std::nullopt;
    const std::optional<QByteArray> document = readRegularFile(infoPlistPath, infoPlistSizeLimit);
    if (!document)
        return std::nullopt;
    return readInfoString(*document, key);
}

std::optional<QString> MainBundle::launcherVersion() const {
    std::optional<QString> version = infoString(QStringLiteral("CFBundleVersion"));
    if (!version || !isLauncherVersion(*version))
        return std::nullopt;
    return version;
}
