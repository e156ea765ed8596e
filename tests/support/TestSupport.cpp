#include "TestSupport.h"

#include "Logging/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

ScopedEnv::ScopedEnv(const char* name, std::optional<QByteArray> value)
    : name(name), previous(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt)
{
    value ? qputenv(name, *value) : qunsetenv(name);
}

ScopedEnv::~ScopedEnv() { previous ? qputenv(name, *previous) : qunsetenv(name); }

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes, bool executable)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()) << path.toStdString();
    if (file.close(), executable) file.setPermissions(file.permissions() | QFile::ExeOwner);
}

QStringList readLines(const QString& path)
{
    const QString text = QString::fromUtf8(readFile(path));
    return text.isEmpty() || text == "\n" ? QStringList() : text.chopped(text.endsWith('\n') ? 1 : 0).split('\n');
}

LogCapture::LogCapture()
{
    Log::shared().flush();
    start_ = QFileInfo(Log::shared().filePath()).size();
}

QStringList LogCapture::messages() const
{
    Log::shared().flush();
    QStringList messages;
    for (const QByteArray& line : readFile(Log::shared().filePath()).mid(start_).split('\n'))
        if (!line.isEmpty()) messages << QString::fromUtf8(line).section(' ', 1);
    return messages;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool canActAsAnotherUser()
{
    return ::geteuid() == 0 && readFile("/proc/self/uid_map").simplified().split(' ').value(2).toLongLong() > 65534;
}

bool processGone(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

struct VirtualScheduler::Timer : Cancellable {
    Task task;
    bool cancelled = false;
    void cancel() override { cancelled = true; }
};

std::shared_ptr<Cancellable> VirtualScheduler::after(Duration delay, Task task)
{
    auto timer = std::make_shared<Timer>();
    timer->task = std::move(task);
    timers_.emplace(std::make_pair(now_ + delay, sequence_++), timer);
    return timer;
}

void VirtualScheduler::runPosted()
{
    for (std::unique_lock lock(mutex_); !queue_.empty(); lock.lock()) {
        Task task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        task();
    }
}

void VirtualScheduler::advance(Duration delta)
{
    const Duration target = now_ + delta;
    runPosted();
    while (!timers_.empty() && timers_.begin()->first.first <= target) {
        auto node = timers_.extract(timers_.begin());
        now_ = node.key().first;
        if (!node.mapped()->cancelled) node.mapped()->task();
        runPosted();
    }
    now_ = target;
}

std::vector<Scheduler::Duration> VirtualScheduler::pendingDelays() const
{
    std::vector<Duration> delays;
    for (const auto& [key, timer] : timers_)
        if (!timer->cancelled) delays.push_back(key.first - now_);
    return delays;
}

void ScriptedProcess::sendSignal(int signal) const
{
    if (!running) return;
    received.push_back(signal);
    if ((signal == SIGKILL && obeysSigkill) || (signal == SIGTERM && obeysSigterm))
        const_cast<ScriptedProcess*>(this)->end(signal);
}

void ScriptedProcess::end(int status, const QByteArray& standardError)
{
    if (!standardError.isEmpty()) handlers.standardError(standardError);
    running = false;
    handlers.finished(status);
}

void makeZip(const QString& destination, const std::map<QString, QByteArray>& files)
{
    QTemporaryDir content;
    QStringList names { ".keep" }; // at least one entry
    writeFile(content.path() + "/.keep", {});
    for (const auto& [name, bytes] : files)
        writeFile(content.path() + "/" + name, bytes), names << name;
    QDir().mkpath(QFileInfo(destination).path());
    QFile::remove(destination);
    ProcessSpec spec = makeSpec(TESSARYN_CMAKE_COMMAND, QStringList { "-E", "tar", "cf", destination, "--format=zip" } + names);
    spec.workingDirectory = content.path();
    ASSERT_EQ(ChildProcess::run(spec, std::chrono::seconds(60)).terminationStatus, 0);
}

NamedProcess::NamedProcess(const QString& name)
{
    QFile::link("/bin/sleep", dir.path() + "/" + name);
    child = ChildProcess::start(makeSpec(dir.path() + "/" + name, { "300" }), {});
}

NamedProcess::~NamedProcess()
{
    child->sendSignal(SIGKILL);
    child->waitForFinished(std::chrono::steady_clock::now() + std::chrono::seconds(20));
}
