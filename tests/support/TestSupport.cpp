#include "TestSupport.h"

#include "Logging/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <thread>

void writeFile(const QString& path, const QByteArray& bytes, bool executable)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size())
        << path;
    if (file.close(), executable) file.setPermissions(file.permissions() | QFile::ExeOwner);
}

LogCapture::LogCapture()
    : start((Log::shared().flush(), QFileInfo(Log::shared().filePath()).size()))
{
}

QStringList LogCapture::messages() const
{
    Log::shared().flush();
    QStringList messages;
    for (const QByteArray& line : readFile(Log::shared().filePath()).mid(start).split('\n'))
        if (!line.isEmpty()) messages << QString::fromUtf8(line).section(' ', 1);
    return messages;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !condition();) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void makeZip(const QString& destination, const std::map<QString, QByteArray>& files)
{
    QTemporaryDir content;
    QStringList names;
    std::map all = files;
    all[".keep"]; // at least one entry
    for (const auto& [name, bytes] : all) writeFile(content.path() + "/" + name, bytes), names << name;
    QDir().mkpath(QFileInfo(destination).path());
    QFile::remove(destination);
    ProcessSpec spec = makeSpec(TESSARYN_CMAKE_COMMAND,
                                QStringList { "-E", "tar", "cf", destination, "--format=zip" } + names);
    spec.workingDirectory = content.path();
    ASSERT_EQ(ChildProcess::run(spec, std::chrono::seconds(60)).terminationStatus, 0);
}
