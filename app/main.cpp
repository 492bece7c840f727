// Program entry: the application object, its title, the main window, the loop.
#include "Application.h"
#include "TerminationSignals.h"
#include "Unit1.h"

#include <exception>
#include <memory>

int main(int argc, char** argv)
{
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
