#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Orvex {

namespace {

constexpr std::array<int, 3> handledSignals{SIGTERM, SIGINT, SIGHUP};

// The handler may only do async-signal-safe work: it writes the signal's
// number into a socket that the event loop watches.
int writeEnd = -1;
int readEnd = -1;

void onSignal(int number)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (readEnd < 0) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
            return;
        readEnd = ends[0];
        writeEnd = ends[1];
    }
    for (const int number : handledSignals) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(number, &action, nullptr);
    }
    m_notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::onReadable);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    // Back to the default action: nobody is left to end the process gently.
    for (const int number : handledSignals)
        ::signal(number, SIG_DFL);
}

void TerminationSignals::onReadable()
{
    unsigned char bytes[16];
    ssize_t got = 0;
    while ((got = ::read(readEnd, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < got; ++i)
            Q_EMIT terminationRequested(bytes[i], ++m_count);
    }
}

} // namespace Orvex
