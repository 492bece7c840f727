#include "TerminationSignals.h"

#include "Application.h"

#include <StopRequest.h>

#include <QCoreApplication>
#include <QPointer>
#include <QWidget>

#ifndef _WIN32
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

// How the client library swallows these signals: its first attach (or create)
// of the process, not the loading, installs one handler of its own for
// SIGINT and SIGTERM with sigaction (SA_SIGINFO | SA_RESTART). That handler
// calls the handler that was in place before it, but never the default
// action: over SIG_DFL the signal is taken and dropped, and the program runs
// on (its attachments too). Later attaches, the embedded
// engine's loading included, leave whatever handler is in place.
//
// So ours goes in before the window is shown (during the first attach the
// library then passes the signal on to it) and again after (ours then takes
// the library's place, and nothing depends on its passing on). The handler
// only writes a byte into a pipe; the event loop (a message box's included)
// reads it, closes any open box and then the window, after any running
// handler, so a build is never cut off by a disconnect under its feet.

#ifdef _WIN32

void InstallTerminationSignals(QWidget*) {}

#else

namespace {

int g_pipe[2] = {-1, -1};
QPointer<QSocketNotifier> g_notifier;
QPointer<QWidget> g_window;

void OnTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);   // a full pipe already asks
    errno = saved;
}

void CloseWindow()
{
    if (g_window)
        g_window->close();
}

void OnCloseRequested()
{
    char drained[64];
    while (::read(g_pipe[0], drained, sizeof drained) > 0) {
    }
    // A box open now (the not-found box, the one that ends a build) keeps
    // the handler that showed it running until someone answers it: its OK
    // is pressed, the handler returns, then the window closes. The insert
    // pass itself still runs to its end.
    DismissMessageBoxes(true);
    RunAfterHandlers([] {
        DismissMessageBoxes(false);
        CloseWindow();
    });
}

} // namespace

void InstallTerminationSignals(QWidget* window)
{
    g_window = window;
    if (g_pipe[0] < 0) {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;   // the signals keep their default action: they end the program unsaved
    }
    if (!g_notifier) {
        g_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(g_notifier, &QSocketNotifier::activated, g_notifier, [] { OnCloseRequested(); });
    }
    InstallTerminationHandler(OnTerminationSignal);
}

#endif
