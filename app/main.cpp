// Program entry: a command when there are arguments; otherwise the
// application object, its title, the main window, the loop. A build without
// the window (KX27_WITH_GUI off) has its commands only.
#include "CommandLine.h"

#ifdef KX27_WITH_GUI
#include "Application.h"
#include "TerminationSignals.h"
#include "Unit1.h"

#include <exception>
#include <memory>
#else
#include <cstdio>
#endif

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed (a
// launcher may start the program so): otherwise the next files opened, the
// engine's lock files among them, take those numbers, and text meant for the
// terminal is written into them. False when one cannot be opened.
bool FillStandardDescriptors()
{
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number: fd itself, the ones below being open.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened != fd) {
            if (opened >= 0)
                ::close(opened);
            return false;
        }
    }
#endif
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (!FillStandardDescriptors())
        return 1;   // nothing can be said safely, and nothing was tried
    // Decided before anything of the window system exists: a command runs
    // where there is no display (cron, a systemd timer, ssh).
    if (argc > 1)
        return RunCommandLine(argc, argv);
#ifndef KX27_WITH_GUI
    std::fputs("kx27: this build has no window; give it one of its commands: refresh, build, apply or search "
               "(kx27 --help)\n",
               stderr);
    return esUsage;
#else
    PrepareWindowSystem();
    TApplication application(argc, argv);
    ApplicationTitle = ApplicationTitleText;

    std::unique_ptr<TForm1> form;
    try {
        form = std::make_unique<TForm1>();
    } catch (...) {
        // Typically the client library could not be loaded: there is no
        // window to work in, so say why and end.
        ShowErrorBox(std::current_exception());
        return 1;
    }
    Form1 = form.get();
    InstallTerminationSignals(form.get());
    form->show();   // FormShow: the client library's first attach
    InstallTerminationSignals(form.get());   // ours back in place of the library's
    return application.exec();
#endif
}
