#include "FaultFixture.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <sys/resource.h>

void FaultFixture::touch(const QString& name) const {
    QFile file(resource(name));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot touch %s", qPrintable(name));
}

bool FaultFixture::exists(const QString& name) const {
    return QFile::exists(resource(name));
}

QByteArray FaultFixture::logBytes() const {
    QFile file(supportDirectory() + QStringLiteral("/launcher.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool runUntil(const std::function<bool()>& condition, int timeoutMs) {
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(5);
    loop.exec();
    return condition();
}

QJsonObject steps(const QJsonArray& out, const QJsonObject& extra) {
    QJsonObject entry = extra;
    entry.insert(QStringLiteral("out"), out);
    return entry;
}

qint64 processorMicroseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1'000'000 +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}
