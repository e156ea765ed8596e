#pragma once
// What the C++ tests share: scoped environment and files, the helper log, waiting, a virtual main
// thread, and stand-ins for processes, the workspace, the desktop and Adobe's tools.
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

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* out) { *out << '"' << bytes.toStdString() << '"'; }
inline std::ostream& operator<<(std::ostream& out, const QString& text) { return out << text.toStdString(); }
inline std::ostream& operator<<(std::ostream& out, const QByteArray& bytes) { return out << bytes.toStdString(); }

// Sets (or unsets, with nullopt) an environment variable for one scope.
struct ScopedEnv {
    ScopedEnv(const char* name, std::optional<QByteArray> value);
    ~ScopedEnv();
    const char* name;
    std::optional<QByteArray> previous;
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
QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes, bool executable = false);
QStringList readLines(const QString& path);
bool processGone(pid_t pid); // or a zombie that nobody reaps
// Polls on the real clock, turning the Qt event loop.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Whether this process may start one as another user (root, with all users mapped).
bool canActAsAnotherUser();

// Standard error, into a file for one scope.
struct StderrCapture {
    QTemporaryFile file;
    int saved = (file.open(), ::dup(2));
    StderrCapture() { ::dup2(file.handle(), 2); }
    ~StderrCapture() { ::dup2(saved, 2), ::close(saved); }
    QByteArray text() { return readFile(file.fileName()); }
};

// The shared helper log's messages (without stamps) from construction on; the tests' main gives
// the process one temporary HOME before anything logs.
class LogCapture {
public:
    LogCapture();
    QStringList messages() const;

private:
    qint64 start_;
};

// A main thread on a virtual clock: timers run only when the test advances time; tasks posted from
// other threads wait until the test runs them.
class VirtualScheduler final : public Scheduler {
public:
    void post(Task task) override { std::lock_guard lock(mutex_); queue_.push_back(std::move(task)); }
    std::shared_ptr<Cancellable> after(Duration delay, Task task) override;
    void advance(Duration delta); // posted tasks, then timers due within delta, in time order
    void runPosted();
    std::vector<Duration> pendingDelays() const;

private:
    struct Timer;
    std::mutex mutex_;
    std::deque<Task> queue_;
    Duration now_ { 0 };
    unsigned long long sequence_ = 0;
    std::multimap<std::pair<Duration, unsigned long long>, std::shared_ptr<Timer>> timers_;
};

// A process that ends when the test says, or on the signals it obeys; launched with pids from 4000.
struct ScriptedProcess final : LaunchedProcess {
    ScriptedProcess(pid_t pid, ChildProcess::Handlers handlers) : pid_(pid), handlers(std::move(handlers)) { }
    pid_t pid() const override { return pid_; }
    bool isRunning() const override { return running; }
    void sendSignal(int signal) const override;
    void end(int status, const QByteArray& standardError = {});
    mutable std::vector<int> received; // signals
    bool obeysSigterm = true, obeysSigkill = true, running = true;
    pid_t pid_;
    ChildProcess::Handlers handlers;
};

struct ScriptedLauncher final : ProcessLauncher {
    std::shared_ptr<LaunchedProcess> launch(const ProcessSpec& spec, ChildProcess::Handlers handlers) override
    {
        specs.push_back(spec);
        if (failWith) // the next launches fail so
            throw SpawnError("could not start: " + std::string(std::strerror(failWith)), failWith);
        return processes.emplace_back(std::make_shared<ScriptedProcess>(pid_t(4000 + processes.size()), std::move(handlers)));
    }
    ScriptedProcess& last() { return *processes.back(); }
    int failWith = 0;
    std::vector<ProcessSpec> specs;
    std::vector<std::shared_ptr<ScriptedProcess>> processes;
};

// Applications the test launches and quits; it counts the scans.
class FakeWorkspace final : public Workspace {
public:
    explicit FakeWorkspace(QList<RunningApplication> running = {}) : running_(std::move(running)) { }
    QList<RunningApplication> runningApplications() const override { return ++scans, running_; }
    void launch(const RunningApplication& a) { running_.append(a), emit applicationLaunched(a); }
    void quit(const RunningApplication& a) { running_.removeAll(a), emit applicationTerminated(a); }
    void notifyLaunch(const RunningApplication& a) { emit applicationLaunched(a); } // the list unchanged
    mutable int scans = 0;

private:
    QList<RunningApplication> running_;
};

// Records "open <url>" and "alert <title>: <text>"; a check can run while an alert is open.
struct RecordingDesktop final : Desktop {
    void open(const QUrl& url) override { events << "open " + url.toString(); }
    void alert(const QString& title, const QString& text) override
    {
        events << "alert " + title + ": " + text;
        if (whileAlertIsOpen) whileAlertIsOpen(title);
    }
    QStringList events;
    std::function<void(const QString& title)> whileAlertIsOpen;
};

// Adobe's side: ZIP packages (CMake's archiver), and processes whose command line is a name.
void makeZip(const QString& destination, const std::map<QString, QByteArray>& files);

struct NamedProcess {
    explicit NamedProcess(const QString& name);
    ~NamedProcess();
    QTemporaryDir dir;
    std::shared_ptr<ChildProcess> child;
};
