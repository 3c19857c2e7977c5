#include "updater/OutputLine.h"

#include "updater/CheckResult.h"
#include "updater/ProgressPercentage.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace {

using Kind = OutputLine::Kind;

const QString kEllipsis = QStringLiteral("\u2026");
const QString kCheckPrefix = QStringLiteral("UPDATE_CHECK ");
const QString kErrorMarker = QStringLiteral("Thornwake launcher error:");
const QString kLauncherInstalledAt = QStringLiteral("Launcher installed at ");

// Trims spaces and tabs only (Unicode Zs and U+0009), not line breaks.
QString trimSpacesAndTabs(const QString& text) {
    auto isSpace = [](QChar c) {
        return c == QChar(u'\t') || c.category() == QChar::Separator_Space;
    };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// Whether `position` falls between two user-perceived characters of the text.
bool isCharacterBoundary(const QString& text, qsizetype position) {
    if (position <= 0 || position >= text.size())
        return true;
    // No character below U+0300 joins a neighbour below it into one (no combining or prepended
    // marks are there), except a line feed after a carriage return: the common case needs no
    // further rules.
    const char16_t before = text[position - 1].unicode();
    const char16_t after = text[position].unicode();
    if (before < 0x300 && after < 0x300 && !(before == u'\r' && after == u'\n'))
        return true;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(position);
    return finder.isAtBoundary();
}

// Prefix and suffix tests on whole characters: a combining mark after a prefix belongs to the
// prefix's last character, which then differs from the one the prefix ends with.
bool startsWithCharacters(const QString& line, const QString& prefix) {
    return line.startsWith(prefix) && isCharacterBoundary(line, prefix.size());
}

bool endsWithCharacters(const QString& line, const QString& suffix) {
    return line.endsWith(suffix) && isCharacterBoundary(line, line.size() - suffix.size());
}

QString pathExtension(QString path) {
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot <= 0 ? QString() : name.mid(dot + 1);
}

OutputLine meaning(Kind kind, const QString& status, const QString& text = {}) {
    OutputLine result;
    result.kind = kind;
    result.status = status;
    result.text = text;
    return result;
}

OutputLine percentage(const QString& line, const QString& statusPrefix) {
    const ProgressPercentage parsed = parsePercentage(line);
    OutputLine result = meaning(Kind::percentage, statusPrefix + parsed.shown + u'%');
    result.progress = std::clamp(parsed.value, 0.0, 100.0);
    return result;
}

// A new launcher counts only as an application bundle beside the running one.
OutputLine launcherLocation(const QString& line, const std::optional<QString>& bundleParent) {
    const QString path = line.mid(kLauncherInstalledAt.size());
    if (!bundleParent || pathExtension(path) != QStringLiteral("app") ||
        parentPath(path) != *bundleParent)
        return {};
    return meaning(Kind::launcherLocation, {}, path);
}

// The three forms a download goes through, alike for the launcher and for the client.
struct DownloadForms {
    QString progressPrefix;
    QString progressStatus;
    QString updatingPrefix;
    QString updatingStatus;
    // Replaces the updating prefix in the detail line.
    QString detailPrefix;
    QString installingLine;
    QString installingStatus;
};

const DownloadForms kLauncherDownload{QStringLiteral("Downloading launcher:"),
                                      QStringLiteral("Downloading launcher \u2014 "),
                                      QStringLiteral("Updating launcher to "),
                                      QStringLiteral("Updating the launcher\u2026"),
                                      QStringLiteral("Launcher "),
                                      QStringLiteral("Verifying and installing launcher\u2026"),
                                      QStringLiteral("Installing the launcher\u2026")};
const DownloadForms kClientDownload{QStringLiteral("Downloading client:"),
                                    QStringLiteral("Downloading update \u2014 "),
                                    QStringLiteral("Updating to client "),
                                    QStringLiteral("Downloading the latest update\u2026"),
                                    QStringLiteral("Version "),
                                    QStringLiteral("Verifying and installing client\u2026"),
                                    QStringLiteral("Preparing your game\u2026")};

std::optional<OutputLine> interpretDownloadLine(const QString& line, const DownloadForms& forms) {
    if (startsWithCharacters(line, forms.progressPrefix))
        return percentage(line, forms.progressStatus);
    // The detail line shows what is being downloaded: the form's words replaced, no ellipsis.
    if (startsWithCharacters(line, forms.updatingPrefix))
        return meaning(
            Kind::detail, forms.updatingStatus,
            QString(line).replace(forms.updatingPrefix, forms.detailPrefix).remove(kEllipsis));
    if (line == forms.installingLine)
        return meaning(Kind::installing, forms.installingStatus);
    return std::nullopt;
}

// The forms that only update and play runs read. No line is of two forms, so their order here
// does not matter.
OutputLine interpretRunLine(const QString& line, const OutputLineContext& context) {
    for (const DownloadForms* forms : {&kLauncherDownload, &kClientDownload})
        if (std::optional<OutputLine> download = interpretDownloadLine(line, *forms))
            return *download;
    if (startsWithCharacters(line, kLauncherInstalledAt))
        return launcherLocation(line, context.launcherBundleParent);
    if (startsWithCharacters(line, QStringLiteral("Installed launcher ")) &&
        endsWithCharacters(line, QStringLiteral("Restarting\u2026")))
        return meaning(Kind::launcherInstalled, QStringLiteral("Restarting the launcher\u2026"),
                       QStringLiteral("The launcher was updated and is starting again."));
    if (startsWithCharacters(line, QStringLiteral("Installed client ")) ||
        (startsWithCharacters(line, QStringLiteral("Client ")) &&
         endsWithCharacters(line, QStringLiteral(" is current."))))
        return meaning(Kind::clientReady, QStringLiteral("Ready to play"));
    if (line == QStringLiteral("Starting Thornwake\u2026"))
        return meaning(Kind::gameStart,
                       QStringLiteral("Launching ") +
                           context.regionName.value_or(QStringLiteral("Thornwake")) + kEllipsis);
    return {};
}

} // namespace

OutputLine interpretOutputLine(const QString& line, const OutputLineContext& context) {
    if (startsWithCharacters(line, kCheckPrefix)) {
        OutputLine result = meaning(Kind::checkResult, {});
        result.checkOutcome = parseCheck(line);
        return result;
    }
    if (startsWithCharacters(line, kErrorMarker))
        return meaning(Kind::errorDetail, {},
                       trimSpacesAndTabs(QString(line).remove(kErrorMarker)));
    // Check runs only report their result and errors.
    if (context.mode == Mode::check)
        return {};
    return interpretRunLine(line, context);
}

QString parentPath(QString path) {
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}
