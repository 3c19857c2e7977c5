// Info.plist reading: the input is the file's content, read back through the bundle the way the
// launcher reads its own version and a successor's executable name.
#include "Expect.h"
#include "ScratchDirectory.h"
#include "install/MainBundle.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = scratchDirectory() + QStringLiteral("/Info.plist");
    {
        std::FILE* file = std::fopen(path.toUtf8().constData(), "wb");
        if (!file)
            std::abort();
        if (size > 0 && std::fwrite(data, 1, size, file) != size)
            std::abort();
        std::fclose(file);
    }
    const MainBundle bundle{scratchDirectory(), scratchDirectory(), path};

    const std::optional<QString> version = bundle.launcherVersion();
    const std::optional<QString> rawVersion = bundle.infoString(QStringLiteral("CFBundleVersion"));
    if (version) {
        FUZZ_EXPECT(reference::isLauncherVersion(*version), *version);
        FUZZ_EXPECT(rawVersion == version, *version);
    } else if (rawVersion) {
        FUZZ_EXPECT(!reference::isLauncherVersion(*rawVersion), *rawVersion);
    }
    bundle.infoString(QStringLiteral("CFBundleExecutable"));
    return 0;
}
