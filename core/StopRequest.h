// A request to stop the work under way, made by SIGTERM or SIGINT in the
// commands and polled by the postal code's long loops (per line read, per
// block or row sent): a stop raises EStopped there, and the loops' callers
// roll it back as they roll back any failure. The window's own signal
// handling is separate and never makes this request.
#pragma once

#include <exception>

#ifndef _WIN32
#include <signal.h>
#endif

// The work was stopped by a signal. Not an Exception: it is no fault of the
// file or of the server, so that nothing which absorbs or translates those
// (a refused record, an unreadable file) takes it for one.
class EStopped : public std::exception {
public:
    explicit EStopped(int signal) noexcept : m_signal(signal) {}
    int Signal() const noexcept { return m_signal; }
    const char* what() const noexcept override;   // "stopped by SIGTERM"

private:
    int m_signal;
};

// Records the request; the first signal is the one kept. Async-signal-safe.
void RequestStop(int signal) noexcept;
// The signal of the request, 0 while there is none.
int StopSignal() noexcept;
// Raises EStopped when a stop has been requested.
void ThrowIfStopRequested();
// Forgets the request, so that a process that goes on working can take a
// new one.
void ClearStopRequest() noexcept;

// Installs handler for SIGTERM and SIGINT (SA_RESTART: reads and the
// client's network calls go on; the program polls what the handler
// records), except for a signal that was ignored when this was first
// called: a program started ignoring one (nohup, a background job's SIGINT)
// goes on ignoring it. The commands' and the window's handlers both go in
// through here. No effect on Windows.
void InstallTerminationHandler(void (*handler)(int)) noexcept;

// Puts the commands' handlers for SIGTERM and SIGINT in place: they only
// request the stop. A signal ignored when the program started stays ignored
// (a background job's SIGINT); the two are unblocked, so that a job started
// with them blocked can still be stopped (one already pending is taken now).
// Call it before the client library's first attach and again after it: that
// attach installs a handler of the library's own over ours (the window's
// TerminationSignals.cpp says more), and one that this handler takes shuts
// the process's attachments down. Hold the two back (TStopSignalsHeld) from
// before the attach until this has put ours back. No effect on Windows.
void InstallStopSignals() noexcept;

// While it lives, SIGTERM and SIGINT wait for this thread: a check of the
// request made under it, and what follows it (a commit), cannot be overtaken
// by a signal; one that arrives meanwhile is taken when it ends. No effect
// on Windows.
class TStopSignalsHeld {
public:
    TStopSignalsHeld() noexcept;
    ~TStopSignalsHeld();
    TStopSignalsHeld(const TStopSignalsHeld&) = delete;
    TStopSignalsHeld& operator=(const TStopSignalsHeld&) = delete;

private:
#ifndef _WIN32
    sigset_t m_old;   // the thread's signal mask before
#endif
};
