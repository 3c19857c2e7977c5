#include "updater/OutputLine.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

using Kind = OutputLine::Kind;

const QString bundleParent = QStringLiteral("/opt/games");

// A meaning in the shape the shared table writes it.
QJsonObject asTableEntry(const OutputLine& meaning) {
    static const QMap<Kind, QString> kinds = {
        {Kind::ignored, "ignored"},
        {Kind::checkResult, "check result"},
        {Kind::errorDetail, "error"},
        {Kind::percentage, "percentage"},
        {Kind::detail, "detail"},
        {Kind::installing, "installing"},
        {Kind::launcherLocation, "launcher location"},
        {Kind::launcherInstalled, "launcher installed"},
        {Kind::clientReady, "client ready"},
        {Kind::gameStart, "game start"},
    };
    QJsonObject entry{{"kind", kinds.value(meaning.kind)}};
    if (meaning.kind == Kind::checkResult) {
        QJsonObject outcome;
        if (meaning.checkOutcome && meaning.checkOutcome->launcherVersion)
            outcome["launcherVersion"] = *meaning.checkOutcome->launcherVersion;
        if (meaning.checkOutcome && meaning.checkOutcome->clientRelease)
            outcome["clientRelease"] = *meaning.checkOutcome->clientRelease;
        entry["outcome"] = meaning.checkOutcome ? QJsonValue(outcome) : QJsonValue();
    }
    if (!meaning.status.isEmpty())
        entry["status"] = meaning.status;
    if (!meaning.text.isEmpty() || meaning.kind == Kind::errorDetail)
        entry["text"] = meaning.text;
    if (meaning.kind == Kind::percentage)
        entry["progress"] = meaning.progress;
    return entry;
}

QJsonArray tableExamples() {
    QFile file(QStringLiteral(THORNWAKE_SOURCE_DIR "/tests/protocol/updater-lines.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject table = QJsonDocument::fromJson(file.readAll()).object();
    QJsonArray examples = table["edges"].toArray();
    for (const QJsonValue form : table["forms"].toArray())
        for (const QJsonValue example : form["examples"].toArray())
            examples.append(example);
    return examples;
}

} // namespace

TEST(OutputLine, everyExampleOfTheSharedLineTableMeansWhatTheTableSays) {
    const QMap<QString, Mode> modes = {
        {"check", Mode::check}, {"update", Mode::update}, {"play", Mode::play}};
    const QJsonArray examples = tableExamples();
    ASSERT_GE(examples.size(), 80);
    for (const QJsonValue example : examples) {
        const QString line = example["line"].toString();
        ASSERT_TRUE(example["meaning"].isObject()) << line.toStdString();
        const QStringList runModes =
            example["mode"].isString() ? QStringList{example["mode"].toString()} : modes.keys();
        for (const QString& mode : runModes) {
            const OutputLine meaning =
                interpretOutputLine(line, {modes.value(mode), bundleParent, "Europe West"});
            EXPECT_EQ(asTableEntry(meaning), example["meaning"].toObject())
                << line.toStdString() << " in a " << mode.toStdString() << " run reads as "
                << QJsonDocument(asTableEntry(meaning)).toJson(QJsonDocument::Compact).data();
        }
    }
}

TEST(OutputLine, withoutABundleOrARegionTheirFormsFallBack) {
    EXPECT_EQ(interpretOutputLine("Launcher installed at /opt/games/X.app", {Mode::update, {}, {}}),
              OutputLine{});
    EXPECT_EQ(
        interpretOutputLine("Starting Thornwake\u2026", {Mode::play, bundleParent, {}}).status,
        "Launching Thornwake\u2026");
}
