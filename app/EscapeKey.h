// The Escape key's physical state, read while a handler runs without ever
// returning to the event loop (no key event could arrive meanwhile).
#pragma once

#include <memory>

class EscapeKey {
public:
    virtual ~EscapeKey() = default;
    // Whether the key is held down at this moment.
    virtual bool EscapeDown() = 0;
};

// The window system's own key state: XQueryKeymap on a display connection of
// its own (opened on first use from $DISPLAY), GetAsyncKeyState on Windows.
// Without a display (offscreen, no X server) the key is never down.
std::unique_ptr<EscapeKey> CreateSystemEscapeKey();
