#include "TerminationSignal.h"

#include "Platform/Pipes.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = { -1, -1 };

void onSigterm(int)
{
    const int savedErrno = errno;
    const char byte = 1;
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
    action.sa_handler = onSigterm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed_ = ::sigaction(SIGTERM, &action, nullptr) == 0;
}

TerminationSignal::~TerminationSignal()
{
    // Later SIGTERMs still only reach the pipe, which stays open for them.
}

void TerminationSignal::drain()
{
    char bytes[64];
    ssize_t n;
    while ((n = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR))
        for (ssize_t i = 0; i < n; ++i)
            emit received();
}
