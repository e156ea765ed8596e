#pragma once

#include "Foundation/Scheduler.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>

// Readable failure messages for Qt's text types.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray& bytes, std::ostream* out)
{
    *out << '"' << bytes.toStdString() << '"';
}

// Sets (or unsets, with nullopt) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<QByteArray> value);
    ~ScopedEnv();

private:
    const char* name_;
    std::optional<QByteArray> previous_;
};

// A temporary HOME for one test: set on construction, restored and removed on destruction.
class ScopedHome {
public:
    QString path() const { return dir_.path(); }
    QString logFolder() const { return path() + "/Library/Logs/Tessaryn"; }
    QString supportFolder() const { return path() + "/Library/Application Support/Tessaryn"; }

private:
    QTemporaryDir dir_;
    ScopedEnv env_ { "HOME", QFile::encodeName(dir_.path()) };
};

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes, bool executable = false);
QStringList readLines(const QString& path); // without line ends
// The messages of helper.log lines, without their timestamps.
QStringList logMessages(const QString& path);

// The lines that this process writes to the shared helper log from construction on. The test
// binary's main gives the whole process one temporary HOME, so Log::shared() lives there.
class LogCapture {
public:
    LogCapture();
    // Messages (without timestamps) written since construction, once queued appends are flushed.
    QStringList messages() const;

private:
    qint64 start_;
};

// Polls a condition on the real clock; for what real processes and threads do.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A main thread on a virtual clock: delayed tasks run only when the test advances time.
// Tasks posted from other threads wait until the test runs them.
class VirtualScheduler final : public Scheduler {
public:
    void post(Task task) override;
    std::shared_ptr<Cancellable> after(Duration delay, Task task) override;

    // Runs what was posted, then every delayed task due within `delta`, in time order.
    void advance(Duration delta);
    void runPosted();
    // Runs posted tasks as they arrive until the condition holds or the real timeout passes.
    bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The delays of the pending delayed tasks, from now.
    std::vector<Duration> pendingDelays() const;

private:
    struct Timer;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Task> queue_;
    Duration now_ { 0 };
    unsigned long long sequence_ = 0;
    std::multimap<std::pair<Duration, unsigned long long>, std::shared_ptr<Timer>> timers_;
};
