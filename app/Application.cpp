#include "Application.h"

#include "Encoding.h"

#include "ErrorText.h"
#include "InputClock.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QInputEvent>
#include <QMessageBox>
#include <QPointer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
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

// Input stamped before the cutoff is dropped. It is sent to the window
// first (keys and mouse buttons) or, for a key that may be a shortcut, to
// the focus widget as a ShortcutOverride: accepted there, the key is not
// tried as a shortcut but delivered, and dropped then. Mouse movement and
// crossing pass, so that what lies under the pointer stays known.
class StaleInputFilter final : public QObject {
public:
    using QObject::QObject;
    void SetCutoff(std::uint32_t time) noexcept { m_cutoff = time; }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::ShortcutOverride:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
            break;
        default:
            return QObject::eventFilter(watched, event);
        }
        // Only what the window system delivered carries its time stamps.
        if (!event->spontaneous())
            return false;
        const auto stamp = static_cast<std::uint32_t>(static_cast<QInputEvent*>(event)->timestamp());
        // Compared as a difference: the clock wraps after 49 days.
        if (static_cast<std::int32_t>(stamp - m_cutoff) >= 0)
            return false;
        event->accept();
        return true;
    }

private:
    std::uint32_t m_cutoff = 0;
};

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
    const auto open = g_openBoxes;
    for (auto box = open.rbegin(); box != open.rend(); ++box) {
        if (!*box)
            continue;
        if (QAbstractButton* ok = (*box)->button(QMessageBox::Ok))
            ok->click();
        else
            (*box)->close();
    }
}

void DropInputQueuedUntilNow() noexcept
{
    static std::unique_ptr<InputClock> clock;
    static QPointer<StaleInputFilter> filter;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    try {
        if (!clock) {
            // The offscreen platform (the window tests) stamps with a clock of its own.
            const QString platform = QGuiApplication::platformName();
            if (platform != QLatin1String("xcb") && platform != QLatin1String("windows"))
                return;
            clock = CreateSystemInputClock();
        }
        std::uint32_t now = 0;
        if (!clock->Now(now))
            return;
        if (!filter) {
            filter = new StaleInputFilter(app);
            app->installEventFilter(filter);
        }
        filter->SetCutoff(now);
    } catch (...) {
        // Out of memory: the queued input is delivered as it would have been.
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
