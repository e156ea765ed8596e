#include "TerminationSignal.h"

#include "Platform/Pipes.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = { -1, -1 };

constexpr int endingSignals[] = { SIGTERM, SIGHUP, SIGINT, SIGQUIT };

void onEndingSignal(int signal)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t ignored = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignal::TerminationSignal(QObject* parent)
    : QObject(parent)
{
    if (pipeEnds[0] < 0 && !openCloseOnExecPipe(pipeEnds, true))
        return;
    notifier_ = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignal::drain);

    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed_ = true;
    for (const int signal : endingSignals) {
        struct sigaction previous {};
        if (signal == SIGHUP && ::sigaction(SIGHUP, nullptr, &previous) == 0
            && previous.sa_handler == SIG_IGN)
            continue;
        installed_ = ::sigaction(signal, &action, nullptr) == 0 && installed_;
    }
}

QString TerminationSignal::nameOf(int signal)
{
    switch (signal) {
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGQUIT:
        return QStringLiteral("SIGQUIT");
    default:
        return QStringLiteral("SIGTERM");
    }
}

TerminationSignal::~TerminationSignal()
{
    // Later SIGTERMs still only reach the pipe, which stays open for them.
}

void TerminationSignal::drain()
{
    unsigned char bytes[64];
    ssize_t n;
    while ((n = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR))
        for (ssize_t i = 0; i < n; ++i)
            emit received(bytes[i]);
}
