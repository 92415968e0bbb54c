#include "common/termsignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace sentrok {

namespace {

// [0] written by the handler, [1] read by the notifier. One process, one pair.
int g_pair[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT};

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    if (g_pair[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pair) != 0) {
        g_pair[0] = g_pair[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(g_pair[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::drain);
    struct sigaction action = {};
    action.sa_handler = &TerminationSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int s : kSignals) ::sigaction(s, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier) return;
    for (int s : kSignals) ::signal(s, SIG_DFL);
    delete m_notifier;
    ::close(g_pair[0]);
    ::close(g_pair[1]);
    g_pair[0] = g_pair[1] = -1;
}

// Runs inside the signal: only async-signal-safe calls.
void TerminationSignals::handle(int signal)
{
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_pair[0], &byte, 1);
    errno = saved;
}

void TerminationSignals::drain()
{
    char bytes[16];
    ssize_t n;
    while ((n = ::read(g_pair[1], bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < n; ++i) emit received(int(bytes[i]));
}

}  // namespace sentrok
