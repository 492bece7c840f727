// No Qt header may come into this file: Xlib's macros (None, Bool, KeyPress,
// Status...) clash with Qt's names.
#include "EscapeKey.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <X11/Xlib.h>
#include <X11/keysym.h>
#endif

namespace {

#ifdef _WIN32

class WindowsEscapeKey final : public EscapeKey {
public:
    bool EscapeDown() override { return (GetAsyncKeyState(VK_ESCAPE) & 0x8000) != 0; }
};

#else

class X11EscapeKey final : public EscapeKey {
public:
    X11EscapeKey() = default;
    X11EscapeKey(const X11EscapeKey&) = delete;
    X11EscapeKey& operator=(const X11EscapeKey&) = delete;
    ~X11EscapeKey() override
    {
        if (m_display)
            XCloseDisplay(m_display);
    }

    bool EscapeDown() override
    {
        if (!m_opened) {
            // One attempt only: a missing X server stays missing for this run.
            m_opened = true;
            m_display = XOpenDisplay(nullptr);
            if (m_display)
                m_keycode = XKeysymToKeycode(m_display, XK_Escape);
        }
        if (!m_display || m_keycode == 0)
            return false;
        char keys[32] = {};
        XQueryKeymap(m_display, keys);
        return (keys[m_keycode / 8] & (1 << (m_keycode % 8))) != 0;
    }

private:
    Display* m_display = nullptr;
    KeyCode m_keycode = 0;
    bool m_opened = false;
};

#endif

} // namespace

std::unique_ptr<EscapeKey> CreateSystemEscapeKey()
{
#ifdef _WIN32
    return std::make_unique<WindowsEscapeKey>();
#else
    return std::make_unique<X11EscapeKey>();
#endif
}
