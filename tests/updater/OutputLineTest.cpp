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
    // In the order of OutputLine::Kind.
    static const char* const kinds[] = {"ignored",
                                        "check result",
                                        "error",
                                        "percentage",
                                        "detail",
                                        "installing",
                                        "launcher location",
                                        "launcher installed",
                                        "client ready",
                                        "game start"};
    QJsonObject entry{{"kind", kinds[int(meaning.kind)]}};
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
    // Without a bundle no new launcher is accepted; without a region the game keeps its name.
    EXPECT_EQ(interpretOutputLine("Launcher installed at /opt/games/X.app", {Mode::update, {}, {}}),
              OutputLine{});
    EXPECT_EQ(interpretOutputLine("Starting Thornwake\u2026", {Mode::play, {}, {}}).status,
              "Launching Thornwake\u2026");
}
