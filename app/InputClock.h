// The clock in which the window system stamps key and mouse events, read
// while a handler runs: what was stamped before a handler's end was pressed
// while it ran.
#pragma once

#include <cstdint>
#include <memory>

class InputClock {
public:
    virtual ~InputClock() = default;
    // The window system's time now, in milliseconds that wrap at 32 bits;
    // false when there is none to read.
    virtual bool Now(std::uint32_t& time) = 0;
};

// The X server's time, read on a display connection of its own (opened on
// first use from $DISPLAY, as the Escape key's); the tick count on Windows.
// Without an X server there is no time.
std::unique_ptr<InputClock> CreateSystemInputClock();
