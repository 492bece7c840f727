// The application object's share of the window system: its title, the modal
// boxes captioned with it, and the general error handler.
#pragma once

#include <QApplication>

#include <exception>
#include <functional>
#include <string>

// "kx27－郵便番号辞書作成" in CP932.
extern const char* const ApplicationTitleText;
// The application title (CP932): captions every box. Set by the program entry.
extern std::string ApplicationTitle;

enum class MessageBoxKind { Information, Error };

// Shows a modal box with an OK button, captioned with the application title;
// returns when the user has closed it.
void ShowMessageBox(MessageBoxKind kind, const std::string& text);

// Closes every open box as if its OK were pressed and, while on, every box
// as soon as it is asked for: the session is ending and no one is left to
// answer (a box's loop would hold the ending back for good).
void DismissMessageBoxes(bool on);

// Replaces the real boxes (tests). An empty function restores them.
using MessageBoxPresenter = std::function<void(MessageBoxKind kind, const std::string& text)>;
void SetMessageBoxPresenter(MessageBoxPresenter presenter);

// The general error handler: the box with the error icon for the error in
// flight. Never throws.
void ShowErrorBox(std::exception_ptr error) noexcept;

// Marks a handler as running for as long as it lives. A handler's modal box
// runs a nested event loop, so events are served while the handler is not
// done; RunAfterHandlers keeps what must not run then.
class HandlerScope {
public:
    HandlerScope() noexcept;
    ~HandlerScope();
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;
};

// Runs a handler body; whatever escapes it ends the handler there and is
// shown by the general error handler. Qt is built without exceptions, so no
// exception may travel back into it: every handler runs through here.
template <typename Body>
void RunHandler(Body&& body) noexcept
{
    HandlerScope scope;
    try {
        body();
    } catch (...) {
        ShowErrorBox(std::current_exception());
    }
}

// Runs the action from the event loop when no handler is running: queued at
// once when none runs, otherwise once the outermost one has returned.
void RunAfterHandlers(std::function<void()> action);

// Drops the keys and mouse clicks that the window system stamped before this
// moment, when they come to be delivered. A build or a search works without
// returning to the event loop, so what was pressed meanwhile is still queued
// when it returns; it was meant for a busy window, not for what comes after
// (a second Alt+M would start a second build). Only where the events' time
// stamps can be compared with the window system's clock (X11, Windows).
void DropInputQueuedUntilNow() noexcept;

// The application object. Its notify() is only the last net for an error
// that some slot let out past RunHandler.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Environment that must be in place before the application object exists:
// one logical pixel is one device pixel (the window is laid out in pixels).
void PrepareWindowSystem();
