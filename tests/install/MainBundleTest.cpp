#include "install/MainBundle.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

QByteArray plist(const QByteArray& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           entries + "</dict>\n</plist>\n";
}

QByteArray versionEntry(const QByteArray& value) {
    return "\t<key>CFBundleVersion</key>\n\t<string>" + value + "</string>\n";
}

class MainBundleFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        bundlePath = home.filePath("Thornwake Launcher.app");
        ASSERT_TRUE(QDir().mkpath(bundlePath + "/Contents/MacOS"));
        bundle = MainBundle::forExecutable(bundlePath + "/Contents/MacOS/launcher");
    }

    void writeInfo(const QByteArray& content) {
        QFile file(bundle.infoPlistPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(content), content.size());
    }

    QTemporaryDir home;
    QString bundlePath;
    MainBundle bundle;
};

} // namespace

TEST(MainBundle, executableInsideContentsMacOSBelongsToTheBundle) {
    const MainBundle bundle = MainBundle::forExecutable("/Applications/X.app/Contents/MacOS/run");
    EXPECT_EQ(bundle.location, "/Applications/X.app");
    EXPECT_EQ(bundle.resourceDirectory, "/Applications/X.app/Contents/Resources");
    EXPECT_EQ(bundle.infoPlistPath, "/Applications/X.app/Contents/Info.plist");

    const MainBundle untidy =
        MainBundle::forExecutable("/Applications//X.app/./Contents/MacOS/run");
    EXPECT_EQ(untidy.location, "/Applications/X.app");

    const MainBundle relative = MainBundle::forExecutable("X.app/Contents/MacOS/run");
    EXPECT_EQ(relative.location, QDir::cleanPath(QDir::currentPath() + "/X.app"));
}

TEST(MainBundle, bareExecutableUsesItsOwnDirectory) {
    for (const QString& executable :
         {QString("/opt/thornwake/bin/run"), QString("/opt/X.app/Contents/macos/run"),
          QString("/opt/X.app/MacOS/run")}) {
        const MainBundle bundle = MainBundle::forExecutable(executable);
        const QString directory = executable.left(executable.lastIndexOf('/'));
        EXPECT_EQ(bundle.location, directory);
        EXPECT_EQ(bundle.resourceDirectory, directory);
        EXPECT_TRUE(bundle.infoPlistPath.isEmpty());
        EXPECT_EQ(bundle.infoString("CFBundleVersion"), std::nullopt);
    }
}

TEST(MainBundle, onlyAnExactAppExtensionIsALauncherBundle) {
    struct Case {
        QString location;
        std::optional<QString> bundle;
        std::optional<QString> retired;
    };
    const std::vector<Case> cases{
        {"/a/Thornwake Launcher.app", "/a/Thornwake Launcher.app", "/a/Thornwake Launcher.app.old"},
        {"/a/X.app", "/a/X.app", "/a/X.app.old"},
        {"/a/X.App", {}, {}},
        {"/a/X.APP", {}, {}},
        {"/a/X.apps", {}, {}},
        {"/a/X.app.old", {}, {}},
        {"/a/app", {}, {}},
        {"/opt/thornwake/bin", {}, {}},
    };
    for (const Case& c : cases) {
        MainBundle bundle;
        bundle.location = c.location;
        EXPECT_EQ(bundle.launcherBundleURL(), c.bundle) << c.location.toStdString();
        EXPECT_EQ(bundle.retiredBundleURL(), c.retired) << c.location.toStdString();
    }
}

TEST_F(MainBundleFiles, readsStringValuesOfTheTopLevelDictionary) {
    writeInfo(
        plist("\t<key>CFBundleExecutable</key>\n\t<string>launcher</string>\n"
              "\t<key>Nested</key>\n\t<dict><key>CFBundleName</key><string>inner</string></dict>\n"
              "\t<key>CFBundleName</key>\n\t<string>Thornwake &amp; Co</string>\n"
              "\t<key>Count</key>\n\t<integer>3</integer>\n"
              "\t<key>Empty</key>\n\t<string/>\n" +
              versionEntry("0123456789abcdef")));
    EXPECT_EQ(bundle.infoString("CFBundleExecutable"), "launcher");
    EXPECT_EQ(bundle.infoString("CFBundleName"), "Thornwake & Co");
    EXPECT_EQ(bundle.infoString("Empty"), "");
    EXPECT_EQ(bundle.infoString("Count"), std::nullopt);
    EXPECT_EQ(bundle.infoString("Nested"), std::nullopt);
    EXPECT_EQ(bundle.infoString("Missing"), std::nullopt);
    EXPECT_EQ(bundle.launcherVersion(), "0123456789abcdef");
}

TEST_F(MainBundleFiles, launcherVersionNeedsSixteenLowercaseHexDigits) {
    const std::vector<std::pair<QByteArray, std::optional<QString>>> cases{
        {versionEntry("fedcba9876543210"), "fedcba9876543210"},
        {versionEntry("FEDCBA9876543210"), std::nullopt},
        {versionEntry("fedcba987654321"), std::nullopt},
        {versionEntry("fedcba98765432100"), std::nullopt},
        {versionEntry(" fedcba9876543210"), std::nullopt},
        {"\t<key>CFBundleVersion</key>\n\t<integer>1234567890123456</integer>\n", std::nullopt},
        {"\t<key>CFBundleShortVersionString</key>\n\t<string>fedcba9876543210</string>\n",
         std::nullopt},
    };
    for (const auto& [entries, expected] : cases) {
        writeInfo(plist(entries));
        EXPECT_EQ(bundle.launcherVersion(), expected) << entries.constData();
    }
}

TEST_F(MainBundleFiles, brokenInformationFilesGiveNothing) {
    const QByteArray version = versionEntry("0123456789abcdef");
    const std::vector<std::pair<const char*, QByteArray>> cases{
        {"empty", ""},
        {"not XML", "CFBundleVersion = 0123456789abcdef"},
        {"truncated", plist(version).chopped(10)},
        {"unclosed string", plist("<key>CFBundleVersion</key><string>0123456789abcdef</dict>")},
        {"markup inside the string",
         plist("<key>CFBundleVersion</key><string>0123<b/>456789abcdef</string>")},
        {"key without value", plist("<key>CFBundleVersion</key>")},
        {"array at top level", "<plist><array><key>CFBundleVersion</key><string>0123456789abcdef</"
                               "string></array></plist>"},
        {"no plist element", "<dict>" + version + "</dict>"},
        {"second root after the plist", plist(version) + "<plist/>"},
        {"unknown entity", plist("<key>CFBundleVersion</key><string>&nope;</string>")},
    };
    for (const auto& [what, content] : cases) {
        writeInfo(content);
        EXPECT_EQ(bundle.launcherVersion(), std::nullopt) << what;
    }

    QFile::remove(bundle.infoPlistPath);
    EXPECT_EQ(bundle.launcherVersion(), std::nullopt) << "missing";
}

TEST_F(MainBundleFiles, oversizedOrSpecialInformationFilesAreNotRead) {
    const QByteArray valid = plist(versionEntry("0123456789abcdef"));
    const qsizetype limit = 1024 * 1024;
    writeInfo(valid + QByteArray(limit - valid.size(), '\n'));
    EXPECT_EQ(bundle.launcherVersion(), "0123456789abcdef");
    writeInfo(valid + QByteArray(limit - valid.size() + 1, '\n'));
    EXPECT_EQ(bundle.launcherVersion(), std::nullopt);

    QFile::remove(bundle.infoPlistPath);
    ASSERT_TRUE(QDir().mkdir(bundle.infoPlistPath));
    EXPECT_EQ(bundle.launcherVersion(), std::nullopt);
    ASSERT_TRUE(QDir().rmdir(bundle.infoPlistPath));

    ASSERT_EQ(::mkfifo(QFile::encodeName(bundle.infoPlistPath).constData(), 0600), 0);
    EXPECT_EQ(bundle.launcherVersion(), std::nullopt);
}
