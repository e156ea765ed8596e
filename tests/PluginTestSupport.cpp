#include "PluginTestSupport.h"

#include "TestSupport.h"

#include "Logging/Log.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// The shared log settles on its folder at first use. These tests change HOME for their own
// files, so it must be settled in the process's HOME before the first of them runs.
class SharedLogFirst : public ::testing::Environment {
public:
    void SetUp() override { Log::shared().flush(); }
};
const auto* const sharedLogFirst = ::testing::AddGlobalTestEnvironment(new SharedLogFirst);

} // namespace

void RecordingDesktop::open(const QUrl& url)
{
    events.push_back({ Event::Open, url.toString(), {} });
}

void RecordingDesktop::alert(const QString& title, const QString& text)
{
    events.push_back({ Event::Alert, title, text });
    if (whileAlertIsOpen)
        whileAlertIsOpen(title);
}

QStringList RecordingDesktop::alertTitles() const
{
    QStringList titles;
    for (const Event& event : events)
        if (event.kind == Event::Alert)
            titles << event.first;
    return titles;
}

QList<QUrl> RecordingDesktop::openedUrls() const
{
    QList<QUrl> urls;
    for (const Event& event : events)
        if (event.kind == Event::Open)
            urls << QUrl(event.first);
    return urls;
}

ZipPackage::ZipPackage(const std::map<QString, QByteArray>& files)
{
    create(path(), files);
}

void ZipPackage::create(const QString& destination, const std::map<QString, QByteArray>& files)
{
    QTemporaryDir content;
    ASSERT_TRUE(content.isValid());
    QStringList names;
    for (const auto& [name, bytes] : files) {
        writeFile(content.path() + "/" + name, bytes);
        names << name;
    }
    QDir().mkpath(QFileInfo(destination).path());
    ProcessSpec spec;
    spec.program = TESSARYN_CMAKE_COMMAND;
    spec.arguments = QStringList { "-E", "tar", "cf", destination, "--format=zip" } + names;
    spec.workingDirectory = content.path();
    if (names.isEmpty()) {
        // CMake's archiver wants at least one entry.
        writeFile(content.path() + "/.keep", {});
        spec.arguments << ".keep";
    }
    ASSERT_EQ(ChildProcess::run(spec, std::chrono::seconds(30)).terminationStatus, 0);
    ASSERT_TRUE(QFileInfo(destination).isFile());
}

QByteArray manifestWithVersion(const QString& versionJson)
{
    return QStringLiteral(R"({"id": "5d1e93b0", "name": "Tessaryn", "version": %1, "main": "index.html"})")
        .arg(versionJson)
        .toUtf8();
}

NamedProcess::NamedProcess(const QString& name)
{
    // The link's name becomes the program's path in its command line.
    const QString link = dir_.path() + "/" + name;
    if (!QFile::link("/bin/sleep", link))
        ADD_FAILURE() << "could not link " << link.toStdString();
    ProcessSpec spec;
    spec.program = link;
    spec.arguments = { "300" };
    spec.nullStandardInput = true;
    child_ = ChildProcess::start(spec, {});
}

NamedProcess::~NamedProcess()
{
    if (!child_)
        return;
    child_->sendSignal(SIGKILL);
    child_->waitForFinished(std::chrono::steady_clock::now() + std::chrono::seconds(10));
}

FakeAgent::FakeAgent(const QString& body)
{
    const QString script = QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '%1/runs'\n%2\n").arg(dir_.path(), body);
    writeFile(path(), script.toUtf8(), true);
}

QStringList FakeAgent::runs() const
{
    return readLines(dir_.path() + "/runs");
}

void makeExternalEntry(const QString& name, bool asFolder)
{
    const QString path = PluginInstaller::externalFolder() + "/" + name;
    if (asFolder)
        ASSERT_TRUE(QDir().mkpath(path));
    else
        writeFile(path, "not a folder");
}
