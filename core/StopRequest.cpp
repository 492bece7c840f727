#include "StopRequest.h"

#include <atomic>
#include <csignal>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace {

// Set from a handler, which may run on any thread that does not block the
// signal (the embedded engine has threads of its own): lock-free, so that
// setting it is async-signal-safe.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

} // namespace

const char* EStopped::what() const noexcept
{
    switch (m_signal) {
    case SIGTERM:
        return "stopped by SIGTERM";
    case SIGINT:
        return "stopped by SIGINT";
    default:
        return "stopped by a signal";
    }
}

void RequestStop(int signal) noexcept
{
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
}

int StopSignal() noexcept
{
    return g_signal.load();
}

void ThrowIfStopRequested()
{
    if (const int signal = g_signal.load())
        throw EStopped(signal);
}

void ClearStopRequest() noexcept
{
    g_signal.store(0);
}

#ifdef _WIN32

void InstallTerminationHandler(void (*)(int)) noexcept {}
void InstallStopSignals() noexcept {}
TStopSignalsHeld::TStopSignalsHeld() noexcept {}
TStopSignalsHeld::~TStopSignalsHeld() {}

#else

namespace {

const int Signals[] = {SIGTERM, SIGINT};
bool g_checked = false;
bool g_ignored[2] = {};   // ignored when the program started: stays so

void OnStopSignal(int signal)
{
    RequestStop(signal);
}

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : Signals)
        sigaddset(&set, signal);
    return set;
}

} // namespace

void InstallTerminationHandler(void (*handler)(int)) noexcept
{
    if (!g_checked) {
        for (int i = 0; i < 2; ++i) {
            struct sigaction current {};
            ::sigaction(Signals[i], nullptr, &current);
            g_ignored[i] = current.sa_handler == SIG_IGN;
        }
        g_checked = true;
    }
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i)
        if (!g_ignored[i])
            ::sigaction(Signals[i], &action, nullptr);
}

void InstallStopSignals() noexcept
{
    InstallTerminationHandler(OnStopSignal);
    const sigset_t set = StopSignals();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

TStopSignalsHeld::TStopSignalsHeld() noexcept
{
    const sigset_t set = StopSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, &m_old);
}

TStopSignalsHeld::~TStopSignalsHeld()
{
    ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

#endif
