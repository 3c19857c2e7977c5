#include "../config/Files.h"

#include "install/MainBundle.h"

namespace {

QByteArray plist(const QByteArray& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           entries + "</dict>\n</plist>\n";
}

QByteArray versionEntry(const QByteArray& value) {
    return "<key>CFBundleVersion</key><string>" + value + "</string>\n";
}

class MainBundleFiles : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_TRUE(QDir().mkpath(path("Thornwake Launcher.app/Contents/MacOS")));
        bundle = MainBundle::forExecutable(path("Thornwake Launcher.app/Contents/MacOS/launcher"));
    }

    MainBundle bundle;
};

} // namespace

TEST(MainBundle, onlyAnExecutableInContentsMacOSBelongsToABundle) {
    const MainBundle bundle = MainBundle::forExecutable("/A//X.app/./Contents/MacOS/run");
    EXPECT_EQ(bundle.location, "/A/X.app");
    EXPECT_EQ(bundle.resourceDirectory, "/A/X.app/Contents/Resources");
    EXPECT_EQ(bundle.infoPlistPath, "/A/X.app/Contents/Info.plist");
    EXPECT_EQ(MainBundle::forExecutable("X.app/Contents/MacOS/run").location,
              QDir::cleanPath(QDir::currentPath() + "/X.app"));

    // Anywhere else the executable's directory stands in, without an information file.
    for (const QString directory : {"/opt/tw/bin", "/A/X.app/Contents/macos", "/A/X.app/MacOS"}) {
        const MainBundle bare = MainBundle::forExecutable(directory + "/run");
        EXPECT_EQ(bare.location, directory);
        EXPECT_EQ(bare.resourceDirectory, directory);
        EXPECT_EQ(bare.infoPlistPath, "");
        EXPECT_EQ(bare.launcherVersion(), std::nullopt);
    }
}

TEST(MainBundle, onlyAnExactAppExtensionIsALauncherBundle) {
    MainBundle bundle;
    bundle.location = "/a/Thornwake Launcher.app";
    EXPECT_EQ(bundle.launcherBundleURL(), "/a/Thornwake Launcher.app");
    EXPECT_EQ(bundle.retiredBundleURL(), "/a/Thornwake Launcher.app.old");
    for (const QString location : {"/a/X.App", "/a/X.apps", "/a/X.app.old", "/a/app", "/a/bin"}) {
        bundle.location = location;
        EXPECT_EQ(bundle.launcherBundleURL(), std::nullopt) << location.toStdString();
        EXPECT_EQ(bundle.retiredBundleURL(), std::nullopt) << location.toStdString();
    }
}

TEST_F(MainBundleFiles, readsStringValuesOfTheTopLevelDictionaryOnly) {
    writeFile(bundle.infoPlistPath,
              plist("<key>Nested</key><dict><key>Name</key><string>inner</string></dict>\n"
                    "<key>Name</key><string>Thornwake &amp; Co</string>\n"
                    "<key>Count</key><integer>3</integer>\n"
                    "<key>Empty</key><string/>\n"));
    const std::pair<QString, std::optional<QString>> cases[] = {
        {"Name", "Thornwake & Co"}, {"Empty", ""},
        {"Count", std::nullopt},    {"Nested", std::nullopt},
        {"Missing", std::nullopt},
    };
    for (const auto& [key, value] : cases)
        EXPECT_EQ(bundle.infoString(key), value) << key.toStdString();
}

TEST_F(MainBundleFiles, launcherVersionIsSixteenHexDigitsFromAWellFormedBoundedFile) {
    const QByteArray valid = plist(versionEntry("0123456789abcdef"));
    const qsizetype limit = 1024 * 1024;
    const std::pair<QByteArray, std::optional<QString>> cases[] = {
        {valid, "0123456789abcdef"},
        {plist(versionEntry("0123456789abcde")), std::nullopt},
        {plist(versionEntry("0123456789abcdef0")), std::nullopt},
        {plist("<key>CFBundleVersion</key><integer>1234567890123456</integer>"), std::nullopt},
        {plist("<key>CFBundleShortVersionString</key><string>0123456789abcdef</string>"),
         std::nullopt},
        // Up to 1 MiB is read.
        {valid + QByteArray(limit - valid.size(), '\n'), "0123456789abcdef"},
        {valid + QByteArray(limit - valid.size() + 1, '\n'), std::nullopt},
        // A document that is not well-formed gives no dictionary at all.
        {valid.chopped(10), std::nullopt},
        {plist("<key>CFBundleVersion</key><string>0123456789abcdef</dict>"), std::nullopt},
        {plist("<key>CFBundleVersion</key><string>0123<b/>456789abcdef</string>"), std::nullopt},
        {plist("<key>CFBundleVersion</key>"), std::nullopt},
        {"<plist><array>" + versionEntry("0123456789abcdef") + "</array></plist>", std::nullopt},
        {"<dict>" + versionEntry("0123456789abcdef") + "</dict>", std::nullopt},
        {QByteArray(valid).replace("</dict>", "</dict><array/>"), std::nullopt},
    };
    for (const auto& [content, version] : cases) {
        writeFile(bundle.infoPlistPath, content);
        EXPECT_EQ(bundle.launcherVersion(), version) << content.left(300).constData();
    }

    // Missing, a directory, a FIFO.
    ASSERT_TRUE(QFile::remove(bundle.infoPlistPath));
    EXPECT_EQ(bundle.launcherVersion(), std::nullopt);
    ASSERT_TRUE(QDir().mkdir(bundle.infoPlistPath));
    EXPECT_EQ(bundle.launcherVersion(), std::nullopt);
    ASSERT_TRUE(QDir().rmdir(bundle.infoPlistPath));
    makeFifo(bundle.infoPlistPath);
    EXPECT_EQ(bundle.launcherVersion(), std::nullopt);
}
