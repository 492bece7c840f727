// No Qt header may come into this file: Xlib's macros (None, Bool, KeyPress,
// Status...) clash with Qt's names.
#include "InputClock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#endif

namespace {

#ifdef _WIN32

// The time of a window message (GetMessageTime) is the tick count when it was posted.
class WindowsInputClock final : public InputClock {
public:
    bool Now(std::uint32_t& time) override
    {
        time = GetTickCount();
        return true;
    }
};

#else

// X has no request that answers the time; the server stamps the
// notification of a property change with it, so an empty property is
// appended to on a window of our own, never mapped, and the notification
// awaited.
class X11InputClock final : public InputClock {
public:
    X11InputClock() = default;
    X11InputClock(const X11InputClock&) = delete;
    X11InputClock& operator=(const X11InputClock&) = delete;
    ~X11InputClock() override
    {
        if (m_display)
            XCloseDisplay(m_display);   // the window goes with the connection
    }

    bool Now(std::uint32_t& time) override
    {
        if (!m_opened) {
            // One attempt only: a missing X server stays missing for this run.
            m_opened = true;
            m_display = XOpenDisplay(nullptr);
            if (!m_display)
                return false;
            m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 1, 1, 0, 0, 0);
            XSelectInput(m_display, m_window, PropertyChangeMask);
            m_property = XInternAtom(m_display, "_KX27_TIME", False);
        }
        if (!m_display)
            return false;
        XChangeProperty(m_display, m_window, m_property, XA_INTEGER, 32, PropModeAppend, nullptr, 0);
        XEvent event;
        XWindowEvent(m_display, m_window, PropertyChangeMask, &event);
        time = static_cast<std::uint32_t>(event.xproperty.time);
        return true;
    }

private:
    Display* m_display = nullptr;
    Window m_window = 0;
    Atom m_property = 0;
    bool m_opened = false;
};

#endif

} // namespace

std::unique_ptr<InputClock> CreateSystemInputClock()
{
#ifdef _WIN32
    return std::make_unique<WindowsInputClock>();
#else
    return std::make_unique<X11InputClock>();
#endif
}
