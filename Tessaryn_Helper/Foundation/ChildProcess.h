#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <sys/types.h>

// What to start. Children always begin with default signal dispositions, an empty signal mask
// and no descriptors but 0, 1 and 2.
struct ProcessSpec {
    QString program;                        // a path; relative to the current directory if not absolute
    QStringList arguments;                  // without the program itself
    QString workingDirectory;               // empty: the helper's own
    std::optional<QStringList> environment; // "NAME=value" entries; none: the helper's own
    // Its own group: a stop or a timeout reaches whatever it started, and what is left of the group
    // when the child itself ends is killed with it.
    bool ownProcessGroup = false;
    // A new session, hence also its own group, and no controlling terminal: a login shell
    // started from a terminal would otherwise stop on terminal output or input.
    bool newSession = false;
    bool nullStandardInput = false; // otherwise the helper's standard input is inherited
    // Sent to the child when the starting thread ends (with the helper, for the main thread), so
    // that a helper killed outright leaves no child running; 0: none. Where the platform cannot,
    // the child starts without it.
    int parentDeathSignal = 0;
};

// A child that could not be started. The text names the program and the reason.
class SpawnError : public std::runtime_error {
public:
    explicit SpawnError(const std::string& what, int error = 0)
        : std::runtime_error(what)
        , error_(error)
    {
    }
    // Out of descriptors, processes or memory for the moment: a later try may start it.
    bool isTransient() const
    {
        return error_ == EMFILE || error_ == ENFILE || error_ == EAGAIN || error_ == ENOMEM;
    }

private:
    int error_;
};

// A child that did not end within the time it was given; it has been killed and reaped.
class TimeoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ChildProcess;

// Lets another thread end a ChildProcess::run() early: the child, with its group if it has one,
// is killed at once (or as soon as it has started), and the run returns what it has read.
class RunCancellation {
public:
    void cancel();
    bool isCancelled() const;

private:
    friend class ChildProcess;
    void attach(const std::shared_ptr<ChildProcess>& child, bool group);
    void detach();
    void kill() const; // with the mutex held

    mutable std::mutex mutex_;
    bool cancelled_ = false;
    std::shared_ptr<ChildProcess> child_;
    bool group_ = false;
};

// One child process. Its output is read on a background thread and handed to the handlers in the
// order it was read; a stream without a handler goes to /dev/null, so it can never fill a pipe.
// The child is always reaped. `finished` is called once, on a background thread, after the child
// has ended and everything it had written before its end has been handed to the output handlers.
class ChildProcess : public std::enable_shared_from_this<ChildProcess> {
public:
    struct Handlers {
        std::function<void(const QByteArray&)> standardOutput;
        std::function<void(const QByteArray&)> standardError;
        std::function<void(int terminationStatus)> finished;
    };

    // Throws SpawnError.
    static std::shared_ptr<ChildProcess> start(const ProcessSpec& spec, Handlers handlers);

    static constexpr std::chrono::milliseconds killGrace { 500 };
    struct Output {
        QByteArray standardOutput;
        int terminationStatus = 0;
    };
    // Runs the child to its end and collects its standard output; its standard error is dropped.
    // Once the child has ended, what its output pipe then holds is taken, reading stops, and what
    // is left of its process group, if it has one, is killed: a background job it started can
    // neither hold the answer back nor grow it. Throws SpawnError, or TimeoutError once the
    // timeout has passed (the child, with its process group if it has one, is then killed, and
    // the run returns within `killGrace` of the timeout whatever the child's descendants do).
    static Output run(const ProcessSpec& spec,
                      std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                      RunCancellation* cancellation = nullptr);

    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // True until the child has been reaped.
    bool isRunning() const;
    // Sends a signal to the child, or to its whole group; does nothing once it has been reaped,
    // so a reused process identifier is never hit.
    void sendSignal(int signal) const;
    void sendSignalToGroup(int signal) const;
    // Stops reading the child's output once `finished` has been called (at once if it has been):
    // whatever a descendant writes later is dropped with the pipes.
    void stopReading() const;
    // The exit code, or the number of the signal that ended the child; none while it runs.
    std::optional<int> terminationStatus() const;
    // Waits until `finished` has been called, or the deadline has passed.
    bool waitForFinished(std::chrono::steady_clock::time_point deadline) const;

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

private:
    struct State;
    ChildProcess(pid_t pid, std::shared_ptr<State> state);
    void launchThreads(int outFd, int errFd);

    pid_t pid_;
    std::shared_ptr<State> state_;
};
