#include "../config/Files.h"

#include "install/MainBundle.h"

TEST(MainBundle, onlyAnExecutableInContentsMacOSOfAnAppBelongsToALauncherBundle) {
    const MainBundle bundle = MainBundle::forExecutable("/A//X.app/./Contents/MacOS/run");
    EXPECT_EQ(bundle.location, "/A/X.app");
    EXPECT_EQ(bundle.resourceDirectory, "/A/X.app/Contents/Resources");
    EXPECT_EQ(bundle.infoPlistPath, "/A/X.app/Contents/Info.plist");
    EXPECT_EQ(bundle.launcherBundleURL(), "/A/X.app");
    EXPECT_EQ(bundle.retiredBundleURL(), "/A/X.app.old");
    // Anywhere else the executable's directory stands in, without an information file.
    for (const QString directory : {"/opt/tw/bin", "/A/X.app/Contents/macos", "/A/X.app/MacOS"}) {
        const MainBundle bare = MainBundle::forExecutable(directory + "/run");
        EXPECT_EQ(bare.resourceDirectory, directory);
        EXPECT_EQ(bare.infoPlistPath, "");
        EXPECT_EQ(bare.launcherBundleURL(), std::nullopt);
    }
    for (const QString location : {"/a/X.App", "/a/X.apps", "/a/X.app.old", "/a/app"})
        EXPECT_EQ((MainBundle{location, {}, {}}.launcherBundleURL()), std::nullopt)
            << location.toStdString();
}

using MainBundleFiles = TempDirTest;

TEST_F(MainBundleFiles, launcherVersionIsSixteenHexDigitsOfAWellFormedBoundedDictionary) {
    const MainBundle bundle{dir.path(), dir.path(), path("Info.plist")};
    auto plist = [](const QByteArray& entries) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" +
               entries + "</dict>\n</plist>\n";
    };
    const QByteArray version = "<key>CFBundleVersion</key><string>0123456789abcdef</string>\n";
    const QByteArray valid = plist(version);
    const qsizetype limit = 1024 * 1024;
    const std::pair<QByteArray, bool> cases[] = {
        {valid, true},
        {plist("<key>N</key><dict>" + version + "</dict>"), false},
        {plist("<key>CFBundleVersion</key><string>0123456789abcde</string>"), false},
        {plist("<key>CFBundleVersion</key><integer>1234567890123456</integer>"), false},
        {valid + QByteArray(limit - valid.size(), '\n'), true},
        {valid + QByteArray(limit - valid.size() + 1, '\n'), false},
        {valid.chopped(10), false},
        {plist("<key>CFBundleVersion</key><string>0123<b/>456789abcdef</string>"), false},
        {"<plist><array>" + version + "</array></plist>", false},
        {QByteArray(valid).replace("</dict>", "</dict><array/>"), false},
    };
    for (const auto& [content, accepted] : cases) {
        writeFile(bundle.infoPlistPath, content);
        const std::optional<QString> expected =
            accepted ? std::optional<QString>("0123456789abcdef") : std::nullopt;
        EXPECT_EQ(bundle.launcherVersion(), expected) << content.left(300).constData();
    }
    writeFile(bundle.infoPlistPath, plist("<key>Name</key><string>Thornwake &amp; Co</string>"));
    EXPECT_EQ(bundle.infoString("Name"), "Thornwake & Co");
    ASSERT_TRUE(QFile::remove(bundle.infoPlistPath));
    makeFifo(bundle.infoPlistPath);
    EXPECT_EQ(bundle.launcherVersion(), std::nullopt);
}
