// Program entry: a command when there are arguments; otherwise the
// application object, its title, the main window, the loop.
#include "Application.h"
#include "CommandLine.h"
#include "TerminationSignals.h"
#include "Unit1.h"

#include <exception>
#include <memory>

int main(int argc, char** argv)
{
    // Decided before anything of the window system exists: a command runs
    // where there is no display (cron, a systemd timer, ssh).
    if (argc > 1)
        return RunCommandLine(argc, argv);
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
}
