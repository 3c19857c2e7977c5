// The installed game's current.json and the texts built from it.
#include "Expect.h"
#include "install/InstalledMetadata.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray json(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<InstalledMetadata> metadata = InstalledMetadata::decode(json);
    const QString version = QStringLiteral("0123456789abcdef");
    const QString footer = footerText(version, metadata);
    FUZZ_EXPECT(footer.startsWith(QStringLiteral("Launcher 0123456789abcdef \u00b7 Game ")), footer);

    if (!metadata) {
        FUZZ_EXPECT(footer.endsWith(QStringLiteral("Game not installed")), footer);
        return 0;
    }

    if (metadata->world)
        FUZZ_EXPECT(reference::isWorldVersion(*metadata->world), *metadata->world);
    const InstalledVersionDetail detail = installedVersionDetail(QStringLiteral("Version"), *metadata);
    FUZZ_EXPECT(detail.toolTip == QStringLiteral("Source revision ") + metadata->revision,
                detail.toolTip);
    const QString expectedStart =
        QStringLiteral("Version ") + metadata->release + QStringLiteral("  \u2022  source ");
    FUZZ_EXPECT(detail.text.startsWith(expectedStart), detail.text);
    // The shortened revision is a leading part of the revision, never longer than it.
    const QString shortRevision = detail.text.mid(expectedStart.size());
    FUZZ_EXPECT(metadata->revision.startsWith(shortRevision), shortRevision);
    return 0;
}
