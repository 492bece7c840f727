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

int main(int argc, char** argv)
{
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
