#include "Platform/GuardedSpawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The kernel's own record of a disposition. All zero but the handler means SIG_DFL with no
// flags and no mask, whatever the architecture's layout of the remaining fields.
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
};

void writeError(int fd, int error)
{
    while (::write(fd, &error, sizeof error) < 0 && errno == EINTR) {
    }
}

bool moveTo(int fd, int target)
{
    if (fd == target)
        return ::fcntl(fd, F_SETFD, 0) == 0; // keep it across exec
    return ::dup2(fd, target) == target;
}

bool openNullAs(int target, int flags)
{
    const int fd = ::open("/dev/null", flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool moved = moveTo(fd, target);
    if (fd != target)
        ::close(fd);
    return moved;
}

[[noreturn]] void runChild(const GuardedSpawn& request, pid_t parent, int report, int highestFd)
{
    auto fail = [report](int error) {
        writeError(report, error);
        ::_exit(127);
    };
    // Default dispositions for every signal, glibc's reserved ones too (the system call takes
    // them; glibc's sigaction does not): no handler of the helper may run in this copy of it,
    // and nothing ignored may survive exec. Signals stay blocked until right before exec.
    for (int signal = 1; signal < _NSIG; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP)
            continue;
        KernelSigaction action {};
        action.handler = SIG_DFL;
        ::syscall(SYS_rt_sigaction, signal, &action, nullptr, _NSIG / 8);
    }
    if (request.newSession && ::setsid() < 0)
        fail(errno);
    if (!request.newSession && request.ownProcessGroup && ::setpgid(0, 0) < 0)
        fail(errno);
    if (request.parentDeathSignal) {
        if (::prctl(PR_SET_PDEATHSIG, request.parentDeathSignal) < 0)
            fail(errno);
        // The helper may have ended before the request took hold: then nobody waits for this child.
        if (::getppid() != parent)
            ::_exit(127);
    }
    if (request.nullStandardInput && !openNullAs(0, O_RDONLY))
        fail(errno);
    if (request.standardOutput >= 0 ? !moveTo(request.standardOutput, 1) : !openNullAs(1, O_WRONLY))
        fail(errno);
    if (request.standardError >= 0 ? !moveTo(request.standardError, 2) : !openNullAs(2, O_WRONLY))
        fail(errno);
    if (request.workingDirectory && ::chdir(request.workingDirectory) < 0)
        fail(errno);
    // Every other descriptor closes on exec; the report pipe too, which tells the helper that
    // exec succeeded.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (int fd = 3; fd <= highestFd; ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(request.program, request.argv, request.envp);
    fail(errno);
    ::_exit(127);
}

} // namespace

int startGuardedChild(const GuardedSpawn& request, pid_t* pid)
{
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return errno;
    const pid_t parent = ::getpid();
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const int highestFd = openMax > 0 && openMax < 65536 ? int(openMax) - 1 : 65535;

    // Blocked across the fork, so no handler of the helper runs in the child before it has set
    // every disposition to default.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = ::fork();
    if (child == 0)
        runChild(request, parent, report[1], highestFd);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(report[1]);
    if (child < 0) {
        ::close(report[0]);
        return forkError;
    }

    int childError = 0;
    ssize_t n;
    while ((n = ::read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == ssize_t(sizeof childError)) {
        // It never reached exec, and has ended or is ending: reap it here.
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return childError;
    }
    *pid = child;
    return 0;
}
