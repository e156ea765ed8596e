#pragma once
// Stand-ins for processes, workspace and desktop.
#include "Foundation/ChildProcess.h"
#include "Foundation/ProcessLauncher.h"
#include "Foundation/Scheduler.h"
#include "Platform/Desktop.h"
#include "Premiere/Workspace.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QUrl>

#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <ostream>
#include <unistd.h>

inline std::ostream& operator<<(std::ostream& o, const QString& t) { return o << t.toStdString(); }
inline std::ostream& operator<<(std::ostream& o, const QByteArray& t) { return o << t.toStdString(); }
inline void PrintTo(const QString& t, std::ostream* o) { *o << '"' << t << '"'; }
inline void PrintTo(const QByteArray& t, std::ostream* o) { *o << '"' << t << '"'; }

struct ScopedEnv {
    ScopedEnv(const char* name, std::optional<QByteArray> value)
        : name(name)
    {
        set(value);
    }
    ~ScopedEnv() { set(previous); }
    void set(const std::optional<QByteArray>& v) { v ? qputenv(name, *v) : qunsetenv(name); }
    const char* name;
    std::optional<QByteArray> previous =
        qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
};

struct ScopedHome {
    QTemporaryDir dir;
    ScopedEnv env { "HOME", QFile::encodeName(dir.path()) };
    QString path() const { return dir.path(); }
    QString supportFolder() const { return path() + "/.local/state/tessaryn"; }
    QString logFolder() const { return supportFolder() + "/logs"; }
};

inline ProcessSpec makeSpec(const QString& program, const QStringList& arguments = {})
{
    ProcessSpec spec;
    spec.program = program, spec.arguments = arguments;
    return spec;
}
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
void writeFile(const QString& path, const QByteArray& bytes, bool executable = false);
inline QStringList readLines(const QString& path)
{
    const QString text = QString::fromUtf8(readFile(path));
    return text.isEmpty() || text == "\n" ? QStringList() : text.chopped(text.endsWith('\n')).split('\n');
}
inline bool processGone(pid_t pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z"; // a zombie nobody reaps
}
// Polls on the real clock, turning the Qt event loop.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));
inline bool canActAsAnotherUser()
{
    return ::geteuid() == 0
        && readFile("/proc/self/uid_map").simplified().split(' ').value(2).toLongLong() > 65534;
}

struct StderrCapture {
    QTemporaryFile file;
    int saved = (file.open(), ::dup(2));
    StderrCapture() { ::dup2(file.handle(), 2); }
    ~StderrCapture() { ::dup2(saved, 2), ::close(saved); }
    QByteArray text() { return readFile(file.fileName()); }
};

// Log messages without stamps, from construction on.
struct LogCapture {
    LogCapture();
    QStringList messages() const;
    qint64 start;
};

// Timers run as the test advances time, posted tasks when it says.
class VirtualScheduler final : public Scheduler {
public:
    void post(Task task) override
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(task));
    }
    std::shared_ptr<Cancellable> after(Duration delay, Task task) override
    {
        return timers_.emplace(now_ + delay, std::make_shared<Timer>(std::move(task)))
            ->second; // after equal ones
    }
    void runPosted()
    {
        for (std::unique_lock lock(mutex_); !posted_.empty(); lock.lock()) {
            Task task = std::move(posted_.front());
            posted_.pop_front(), lock.unlock(), task();
        }
    }
    // Posted tasks, then timers due within delta, in time order.
    void advance(Duration delta)
    {
        const Duration end = now_ + delta;
        for (runPosted(); !timers_.empty() && timers_.begin()->first <= end; runPosted()) {
            auto node = timers_.extract(timers_.begin());
            now_ = node.key();
            if (Task task = std::exchange(node.mapped()->task, nullptr)) task();
        }
        now_ = end;
    }
    std::vector<Duration> pendingDelays() const
    {
        std::vector<Duration> delays;
        for (const auto& [at, timer] : timers_)
            if (timer->task) delays.push_back(at - now_);
        return delays;
    }

private:
    struct Timer : Cancellable {
        Timer(Task task)
            : task(std::move(task))
        {
        }
        void cancel() override { task = nullptr; }
        Task task;
    };
    std::mutex mutex_;
    std::deque<Task> posted_;
    Duration now_ {};
    std::multimap<Duration, std::shared_ptr<Timer>> timers_;
};

// Ends when the test says, or on the signals it obeys.
struct ScriptedProcess final : LaunchedProcess {
    ScriptedProcess(pid_t pid, ChildProcess::Handlers handlers)
        : id(pid)
        , handlers(std::move(handlers))
    {
    }
    pid_t pid() const override { return id; }
    bool isRunning() const override { return running; }
    void sendSignal(int signal) const override
    {
        if (running
            && (received.push_back(signal),
                signal == SIGKILL ? obeysSigkill : signal == SIGTERM && obeysSigterm))
            const_cast<ScriptedProcess*>(this)->end(signal);
    }
    void end(int status, const QByteArray& standardError = {})
    {
        if (!standardError.isEmpty()) handlers.standardError(standardError);
        running = false, handlers.finished(status);
    }
    mutable std::vector<int> received;
    bool obeysSigterm = true, obeysSigkill = true, running = true;
    pid_t id;
    ChildProcess::Handlers handlers;
};

struct ScriptedLauncher final : ProcessLauncher {
    std::shared_ptr<LaunchedProcess> launch(const ProcessSpec& spec, ChildProcess::Handlers handlers) override
    {
        if (specs.push_back(spec), failWith) throw SpawnError(std::strerror(failWith), failWith);
        return processes.emplace_back(
            std::make_shared<ScriptedProcess>(4000 + processes.size(), std::move(handlers)));
    }
    ScriptedProcess& last() { return *processes.back(); }
    int failWith = 0;
    std::vector<ProcessSpec> specs;
    std::vector<std::shared_ptr<ScriptedProcess>> processes;
};

struct FakeWorkspace final : Workspace {
    explicit FakeWorkspace(QList<RunningApplication> running = {})
        : running(std::move(running))
    {
    }
    QList<RunningApplication> runningApplications() const override { return ++scans, running; }
    void launch(const RunningApplication& a) { running.append(a), emit applicationLaunched(a); }
    void quit(const RunningApplication& a) { running.removeAll(a), emit applicationTerminated(a); }
    void notifyLaunch(const RunningApplication& a) { emit applicationLaunched(a); } // the list unchanged
    QList<RunningApplication> running;
    mutable int scans = 0;
};

// Records "open <url>" and "alert <title>: <text>".
struct RecordingDesktop final : Desktop {
    void open(const QUrl& url) override { events << "open " + url.toString(); }
    void alert(const QString& title, const QString& text) override
    {
        if (events << "alert " + title + ": " + text, whileAlertIsOpen) whileAlertIsOpen(title);
    }
    QStringList events;
    std::function<void(const QString& title)> whileAlertIsOpen;
};

void makeZip(const QString& destination, const std::map<QString, QByteArray>& files);

struct NamedProcess {
    explicit NamedProcess(const QString& name)
    {
        QFile::link("/bin/sleep", dir.path() + "/" + name);
        child = ChildProcess::start(makeSpec(dir.path() + "/" + name, { "300" }), {});
    }
    ~NamedProcess()
    {
        child->sendSignal(SIGKILL),
            child->waitForFinished(std::chrono::steady_clock::now() + std::chrono::seconds(20));
    }
    QTemporaryDir dir;
    std::shared_ptr<ChildProcess> child;
};
