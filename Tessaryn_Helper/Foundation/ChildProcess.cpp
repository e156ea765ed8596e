#include "ChildProcess.h"

#include "Platform/GuardedSpawn.h"
#include "Platform/Pipes.h"
#include "Platform/SpawnDefaults.h"

#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

struct ChildProcess::State {
    Handlers handlers;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool reaped = false;   // guarded by mutex; set together with the reaping itself
    bool finished = false; // the finished handler has been called
    int status = 0;
    bool groupLeader = false; // what is left of its group goes with it

    // Wakes the reader: the child has been reaped, or reading is to stop. Open while the state lives.
    int wakeRead = -1;
    int wakeWrite = -1;
    std::atomic<bool> stopReading { false };

    ~State();
};

namespace {

void closeQuietly(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

QString describeErrno(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

struct Pipe {
    int read = -1;
    int write = -1;
    bool open()
    {
        int fds[2];
        if (!openCloseOnExecPipe(fds))
            return false;
        read = fds[0];
        write = fds[1];
        return true;
    }
    void close()
    {
        closeQuietly(read);
        closeQuietly(write);
    }
};

int decodeStatus(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return WTERMSIG(waitStatus);
    return waitStatus;
}

// Reads one chunk of what is there without blocking; returns false at end of file or on a hard error.
bool readChunk(int fd, const std::function<void(const QByteArray&)>& handler)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (handler)
                handler(QByteArray(buffer, int(n)));
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// Reads what the pipe holds at this moment and no more: a descendant that keeps writing into it
// cannot keep the reader here. Returns false at end of file or on a hard error.
bool readWhatIsThere(int fd, const std::function<void(const QByteArray&)>& handler)
{
    int pending = 0;
    if (::ioctl(fd, FIONREAD, &pending) < 0)
        return readChunk(fd, handler);
    char buffer[65536];
    while (pending > 0) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, size_t(pending)));
        if (n > 0) {
            if (handler)
                handler(QByteArray(buffer, int(n)));
            pending -= int(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

void wake(int fd)
{
    const char byte = 1;
    while (::write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
}

void drain(int fd)
{
    char bytes[16];
    for (;;) {
        const ssize_t n = ::read(fd, bytes, sizeof bytes);
        if (n > 0 || (n < 0 && errno == EINTR))
            continue;
        return;
    }
}

int startSpawned(const ProcessSpec& spec, const QByteArray& program, const QByteArray& workingDirectory,
                 std::vector<char*>& argv, std::vector<char*>& envp, int outWrite, int errWrite, pid_t* pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);

    if (spec.nullStandardInput)
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outWrite >= 0)
        posix_spawn_file_actions_adddup2(&actions, outWrite, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (errWrite >= 0)
        posix_spawn_file_actions_adddup2(&actions, errWrite, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (!workingDirectory.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.constData());

    short flags = POSIX_SPAWN_SETSIGMASK;
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    setSpawnDefaults(&attributes, &actions, &flags);
    if (spec.newSession) {
        flags |= POSIX_SPAWN_SETSID;
    } else if (spec.ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);

    const int error = ::posix_spawn(pid, program.constData(), &actions, &attributes, argv.data(),
                                    spec.environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}

int startGuarded(const ProcessSpec& spec, const QByteArray& program, const QByteArray& workingDirectory,
                 std::vector<char*>& argv, std::vector<char*>& envp, int outWrite, int errWrite, pid_t* pid)
{
    GuardedSpawn request;
    request.program = program.constData();
    request.argv = argv.data();
    request.envp = spec.environment ? envp.data() : environ;
    request.workingDirectory = workingDirectory.isEmpty() ? nullptr : workingDirectory.constData();
    request.nullStandardInput = spec.nullStandardInput;
    request.standardOutput = outWrite;
    request.standardError = errWrite;
    request.newSession = spec.newSession;
    request.ownProcessGroup = spec.ownProcessGroup;
    request.parentDeathSignal = spec.parentDeathSignal;
    return startGuardedChild(request, pid);
}

} // namespace

ChildProcess::State::~State()
{
    closeQuietly(wakeRead);
    closeQuietly(wakeWrite);
}

ChildProcess::ChildProcess(pid_t pid, std::shared_ptr<State> state)
    : pid_(pid)
    , state_(std::move(state))
{
}

ChildProcess::~ChildProcess() = default;

std::shared_ptr<ChildProcess> ChildProcess::start(const ProcessSpec& spec, Handlers handlers)
{
    const QByteArray program = QFile::encodeName(QFileInfo(spec.program).absoluteFilePath());
    const QByteArray workingDirectory = QFile::encodeName(spec.workingDirectory);

    std::vector<QByteArray> argumentBytes { program };
    for (const QString& argument : spec.arguments)
        argumentBytes.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> environmentBytes;
    std::vector<char*> envp;
    if (spec.environment) {
        for (const QString& entry : *spec.environment)
            environmentBytes.push_back(entry.toLocal8Bit());
        for (QByteArray& entry : environmentBytes)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
    }

    Pipe out, err, wake;
    auto fail = [&](int error) -> SpawnError {
        out.close();
        err.close();
        wake.close();
        return SpawnError(QStringLiteral("could not start %1: %2")
                              .arg(QString::fromLocal8Bit(program), describeErrno(error))
                              .toStdString(),
                          error);
    };
    const bool hasReader = handlers.standardOutput || handlers.standardError;
    if ((handlers.standardOutput && !out.open()) || (handlers.standardError && !err.open())
        || (hasReader && !wake.open()))
        throw fail(errno);

    pid_t pid = -1;
    const int error = spec.parentDeathSignal
        ? startGuarded(spec, program, workingDirectory, argv, envp, out.write, err.write, &pid)
        : startSpawned(spec, program, workingDirectory, argv, envp, out.write, err.write, &pid);
    if (error != 0)
        throw fail(error);

    closeQuietly(out.write);
    closeQuietly(err.write);
    auto state = std::make_shared<State>();
    state->handlers = std::move(handlers);
    state->groupLeader = spec.ownProcessGroup || spec.newSession;
    std::shared_ptr<ChildProcess> child(new ChildProcess(pid, state));
    state->wakeRead = wake.read;
    state->wakeWrite = wake.write;
    child->launchThreads(out.read, err.read);
    return child;
}

void ChildProcess::launchThreads(int outFd, int errFd)
{
    const bool hasReader = outFd >= 0 || errFd >= 0;
    if (hasReader) {
        for (int fd : { outFd, errFd, state_->wakeRead })
            if (fd >= 0)
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        // A larger pipe: a server printing in small writes waits less for the reader, and one read takes
        // more.
        for (int fd : { outFd, errFd })
            if (fd >= 0)
                enlargePipe(fd, 1024 * 1024);
    }

    auto state = state_;
    auto deliverFinished = [state] {
        if (state->handlers.finished)
            state->handlers.finished(state->status);
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->changed.notify_all();
    };

    // The waiter notices the end without reaping first, then reaps under the lock that
    // sendSignal takes, so a signal never reaches a recycled process identifier.
    std::thread([state, pid = pid_, hasReader, deliverFinished] {
        siginfo_t info {};
        while (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
        {
            std::lock_guard lock(state->mutex);
            int waitStatus = 0;
            while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
            }
            state->status = decodeStatus(waitStatus);
            state->reaped = true;
            state->changed.notify_all();
        }
        // A child that ends leaving descendants behind in its group (a server that forked its worker
        // and exited, a tool's background job) takes them with it: nobody would watch or stop them.
        if (state->groupLeader)
            ::kill(-pid, SIGKILL);
        if (hasReader) {
            wake(state->wakeWrite);
        } else {
            deliverFinished();
        }
    }).detach();

    if (!hasReader)
        return;

    std::thread([state, outFd, errFd, deliverFinished]() mutable {
        bool ended = false;
        while (!ended || (!state->stopReading && (outFd >= 0 || errFd >= 0))) {
            pollfd fds[3];
            nfds_t count = 0;
            if (outFd >= 0)
                fds[count++] = { outFd, POLLIN, 0 };
            if (errFd >= 0)
                fds[count++] = { errFd, POLLIN, 0 };
            fds[count++] = { state->wakeRead, POLLIN, 0 };
            if (::poll(fds, count, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            for (nfds_t i = 0; i < count; ++i) {
                if (!fds[i].revents)
                    continue;
                if (fds[i].fd == outFd && !readChunk(outFd, state->handlers.standardOutput))
                    closeQuietly(outFd);
                else if (fds[i].fd == errFd && !readChunk(errFd, state->handlers.standardError))
                    closeQuietly(errFd);
                else if (fds[i].fd == state->wakeRead) {
                    drain(state->wakeRead);
                    bool reaped;
                    {
                        std::lock_guard lock(state->mutex);
                        reaped = state->reaped;
                    }
                    if (ended || !reaped)
                        break; // a word to stop reading: the loop's condition decides
                    // The child has been reaped: all it wrote is in the pipes now. Hand that
                    // over before reporting the end. Whatever a descendant writes later still
                    // reaches the handlers, until end of file or until reading is stopped.
                    if (outFd >= 0 && !readWhatIsThere(outFd, state->handlers.standardOutput))
                        closeQuietly(outFd);
                    if (errFd >= 0 && !readWhatIsThere(errFd, state->handlers.standardError))
                        closeQuietly(errFd);
                    ended = true;
                    deliverFinished();
                    break; // descriptors may have been closed: rebuild the poll set
                }
            }
        }
        closeQuietly(outFd);
        closeQuietly(errFd);
    }).detach();
}

bool ChildProcess::isRunning() const
{
    std::lock_guard lock(state_->mutex);
    return !state_->reaped;
}

void ChildProcess::sendSignal(int signal) const
{
    std::lock_guard lock(state_->mutex);
    if (!state_->reaped)
        ::kill(pid_, signal);
}

void ChildProcess::stopReading() const
{
    state_->stopReading = true;
    if (state_->wakeWrite >= 0)
        wake(state_->wakeWrite);
}

void ChildProcess::sendSignalToGroup(int signal) const
{
    // A group outlives its leader; its identifier is not handed out again while it exists.
    ::kill(-pid_, signal);
}

std::optional<int> ChildProcess::terminationStatus() const
{
    std::lock_guard lock(state_->mutex);
    if (!state_->reaped)
        return std::nullopt;
    return state_->status;
}

bool ChildProcess::waitForFinished(std::chrono::steady_clock::time_point deadline) const
{
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_until(lock, deadline, [&] { return state_->finished; });
}

void RunCancellation::cancel()
{
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    kill();
}

bool RunCancellation::isCancelled() const
{
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void RunCancellation::attach(const std::shared_ptr<ChildProcess>& child, bool group)
{
    std::lock_guard lock(mutex_);
    child_ = child, group_ = group;
    if (cancelled_)
        kill();
}

void RunCancellation::detach()
{
    std::lock_guard lock(mutex_);
    child_.reset();
}

void RunCancellation::kill() const
{
    if (!child_)
        return;
    if (group_)
        child_->sendSignalToGroup(SIGKILL);
    child_->sendSignal(SIGKILL);
}

ChildProcess::Output ChildProcess::run(const ProcessSpec& spec,
                                       std::optional<std::chrono::milliseconds> timeout,
                                       RunCancellation* cancellation)
{
    struct Collected {
        std::mutex mutex;
        QByteArray bytes;
        bool closed = false; // the answer is complete: later output is dropped
    };
    auto collected = std::make_shared<Collected>();
    Handlers handlers;
    handlers.standardOutput = [collected](const QByteArray& chunk) {
        std::lock_guard lock(collected->mutex);
        if (!collected->closed)
            collected->bytes.append(chunk);
    };
    auto child = start(spec, std::move(handlers));
    const bool ownGroup = spec.ownProcessGroup || spec.newSession;
    if (cancellation)
        cancellation->attach(child, ownGroup);

    const auto deadline =
        timeout ? std::chrono::steady_clock::now() + *timeout : std::chrono::steady_clock::time_point::max();
    const bool finishedInTime = child->waitForFinished(deadline);
    // A child that ended took what was left of its group with it; one whose time is up goes with its group.
    if (!finishedInTime) {
        if (ownGroup)
            child->sendSignalToGroup(SIGKILL);
        child->sendSignal(SIGKILL);
        // Killed, it is reaped at once, and its end reported once the pipe gives up what it
        // held; a child the kernel cannot end yet is left to the waiter, which owns what it uses.
        child->waitForFinished(std::chrono::steady_clock::now() + killGrace);
    }
    Output output;
    {
        std::lock_guard lock(collected->mutex);
        collected->closed = true;
        output.standardOutput = std::move(collected->bytes);
    }
    // And so does the pipe.
    child->stopReading();
    if (cancellation)
        cancellation->detach();
    if (!finishedInTime)
        throw TimeoutError(QStringLiteral("%1 did not finish within %2 ms")
                               .arg(spec.program, QString::number(timeout->count()))
                               .toStdString());
    output.terminationStatus = *child->terminationStatus();
    return output;
}
