// Checks a region configuration with the launcher's own loader before the build bundles it: a file
// the launcher refuses would leave every player's first start at "The launcher region
// configuration is invalid." with no hint why. Prints the reason and exits 1 when it is refused.

#include "config/Regions.h"

#include <QString>

#include <cstdio>

namespace {

int refuse(const QString& why) {
    std::fprintf(stderr, "%s\n", qUtf8Printable(why));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: thornwake-launcher-rules launcher-config.json\n", stderr);
        return 2;
    }
    QString why;
    const std::optional<Regions> regions = Regions::load(QString::fromLocal8Bit(argv[1]), &why);
    if (!regions)
        return refuse(why);
    // A first start has neither a command-line region nor a stored choice, so the default decides.
    if (!chooseRegionIndex(regions->regions, std::nullopt, std::nullopt, regions->defaultRegion))
        return refuse(QStringLiteral("\"defaultRegion\" is \"%1\", which names none of the regions")
                          .arg(regions->defaultRegion));
    return 0;
}
