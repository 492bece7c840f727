#include "Application.h"

#include "Encoding.h"

#include "ErrorText.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

const char* const ApplicationTitleText =
    "kx27\x81|\x97X\x95\xD6\x94\xD4\x8D\x86\x8E\xAB\x8F\x91\x8D\xEC\x90\xAC";  // kx27－郵便番号辞書作成
std::string ApplicationTitle;

namespace {

MessageBoxPresenter& Presenter()
{
    static MessageBoxPresenter presenter;
    return presenter;
}

// GUI thread only, like the handlers themselves.
int g_handlerDepth = 0;
std::vector<std::function<void()>> g_afterHandlers;

// The boxes open now, innermost last; and whether boxes are closed at once.
std::vector<QPointer<QMessageBox>> g_openBoxes;
bool g_dismissBoxes = false;

void Post(std::function<void()> action)
{
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(action), Qt::QueuedConnection);
}

} // namespace

HandlerScope::HandlerScope() noexcept
{
    ++g_handlerDepth;
}

HandlerScope::~HandlerScope()
{
    if (--g_handlerDepth > 0)
        return;
    for (auto& action : std::exchange(g_afterHandlers, {}))
        Post(std::move(action));
}

void RunAfterHandlers(std::function<void()> action)
{
    if (g_handlerDepth > 0)
        g_afterHandlers.push_back(std::move(action));
    else
        Post(std::move(action));
}

void DismissMessageBoxes(bool on)
{
    g_dismissBoxes = on;
    if (!on)
        return;
    // Innermost first: each box's loop ends when control comes back to it.
    for (auto box = g_openBoxes.rbegin(); box != g_openBoxes.rend(); ++box) {
        if (!*box)
            continue;
        if (QAbstractButton* ok = (*box)->button(QMessageBox::Ok))
            ok->click();
        else
            (*box)->close();
    }
}

void SetMessageBoxPresenter(MessageBoxPresenter presenter)
{
    Presenter() = std::move(presenter);
}

void ShowMessageBox(MessageBoxKind kind, const std::string& text)
{
    if (g_dismissBoxes)
        return;   // as if its OK were pressed at once
    if (Presenter()) {
        Presenter()(kind, text);
        return;
    }
    QMessageBox box(kind == MessageBoxKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon,
                    ToQString(ApplicationTitle), ToQString(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    g_openBoxes.emplace_back(&box);
    box.exec();
    g_openBoxes.erase(std::find(g_openBoxes.begin(), g_openBoxes.end(), &box));
}

void ShowErrorBox(std::exception_ptr error) noexcept
{
    try {
        ShowMessageBox(MessageBoxKind::Error, ErrorBoxText(error));
    } catch (...) {
        // Not even the box could be shown (out of memory, no conversion):
        // the last place left to tell is the console.
        std::fputs("kx27: an error could not be shown\n", stderr);
    }
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowErrorBox(std::current_exception());
        return false;
    }
}

void PrepareWindowSystem()
{
#ifdef _WIN32
    _putenv_s("QT_ENABLE_HIGHDPI_SCALING", "0");
    _putenv_s("QT_SCALE_FACTOR", "");
    _putenv_s("QT_SCREEN_SCALE_FACTORS", "");
#else
    setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
    unsetenv("QT_SCALE_FACTOR");
    unsetenv("QT_SCREEN_SCALE_FACTORS");
#endif
}
