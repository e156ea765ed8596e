#include "InheritedProcessState.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

void resetInheritedProcessState()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one, as the ones below it are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }

    // Whatever else the starter left open is not passed on to what the helper opens in turn.
    if (DIR* open = ::opendir("/dev/fd")) {
        while (const dirent* entry = ::readdir(open)) {
            const int fd = std::atoi(entry->d_name);
            if (fd > 2 && fd != ::dirfd(open))
                ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
        }
        ::closedir(open);
    }

    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &action, nullptr);
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &action, nullptr);

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    // The usual soft limit of 1024 descriptors is meant for programs that still use select(); a
    // busy desktop can bring the helper's scans and children near it, and the hard limit is ours to take.
    struct rlimit descriptors {};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < descriptors.rlim_max) {
        descriptors.rlim_cur = descriptors.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    }
}
