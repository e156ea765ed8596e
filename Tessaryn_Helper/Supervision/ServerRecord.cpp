#include "ServerRecord.h"

#include "Foundation/RegularFile.h"
#include "Logging/Log.h"
#include "Platform/HomeFolders.h"
#include "Platform/ProcessInfo.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <csignal>
#include <optional>
#include <thread>

namespace {

struct Noted {
    pid_t pid = 0;
    quint64 startTime = 0;
    QString script;
};

// Read at every start and every server end: only as a small regular file of the user's own in a
// folder of the user's own, so that whatever stands in its place cannot block or swell the helper,
// nor name a process for it to stop.
std::optional<Noted> readNote()
{
    if (!Log::ownFolder(HomeFolders::supportFolder()))
        return std::nullopt;
    const std::optional<QByteArray> content = RegularFile::read(
        ServerRecord::filePath(), 4096, RegularFile::Oversize::refuse, RegularFile::Origin::ownOnly);
    if (!content)
        return std::nullopt;
    const QJsonObject object = QJsonDocument::fromJson(*content).object();
    Noted noted;
    bool ok = false;
    noted.pid = pid_t(object.value(QStringLiteral("pid")).toInteger());
    noted.startTime = object.value(QStringLiteral("startTime")).toString().toULongLong(&ok);
    noted.script = object.value(QStringLiteral("script")).toString();
    if (noted.pid <= 0 || !ok || noted.script.isEmpty())
        return std::nullopt;
    return noted;
}

bool stillRuns(const Noted& noted)
{
    return ProcessInfo::startTime(noted.pid) == noted.startTime;
}

bool waitForEnd(const Noted& noted, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (stillRuns(noted)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace

QString ServerRecord::filePath()
{
    return HomeFolders::supportFolder() + QStringLiteral("/server.json");
}

void ServerRecord::save(pid_t pid, const QString& scriptPath)
{
    const std::optional<quint64> startTime = ProcessInfo::startTime(pid);
    if (!startTime || !Log::ownFolder(HomeFolders::supportFolder()))
        return;
    const QJsonObject object { { QStringLiteral("pid"), qint64(pid) },
                               { QStringLiteral("startTime"), QString::number(*startTime) },
                               { QStringLiteral("script"), scriptPath } };
    QSaveFile file(filePath());
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QJsonDocument(object).toJson());
    file.commit();
}

void ServerRecord::remove(pid_t pid)
{
    const std::optional<Noted> noted = readNote();
    if (noted && noted->pid == pid)
        QFile::remove(filePath());
}

void ServerRecord::stopLeftover(std::chrono::milliseconds gracePeriod)
{
    if (const std::optional<pid_t> stopped = stopNoted(gracePeriod))
        Log::write(QStringLiteral("Stopped a server left by an earlier run (pid %1)").arg(*stopped));
}

std::optional<pid_t> ServerRecord::stopNoted(std::chrono::milliseconds gracePeriod)
{
    const std::optional<Noted> noted = readNote();
    std::optional<pid_t> stopped;
    // Only the noted process itself: the identifier may belong to another one by now.
    if (noted && stillRuns(*noted) && ProcessInfo::commandLine(noted->pid).contains(noted->script)) {
        ::kill(noted->pid, SIGTERM);
        if (!waitForEnd(*noted, gracePeriod) && stillRuns(*noted)) {
            ::kill(noted->pid, SIGKILL);
            waitForEnd(*noted, std::chrono::seconds(1));
        }
        stopped = noted->pid;
    }
    if (Log::ownFolder(HomeFolders::supportFolder()))
        QFile::remove(filePath());
    return stopped;
}
