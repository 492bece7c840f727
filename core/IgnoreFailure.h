// A step whose failure is expected and dropped: clean-up on the way out of
// an error, whose own error is the one to report, or in a destructor, which
// cannot report at all.
#pragma once

#include <cstddef>
#include <utility>

// Runs step and drops whatever it throws. reason is for the reader: why a
// failure here is expected and leaves nothing undone; it is neither kept
// nor shown.
//
// Everything is caught, not only the system's own exceptions: the steps
// reach the event handlers callers install (a connection's BeforeDisconnect,
// a link's OnTransactionEnding), which may throw any type, and a step that
// builds a message may meet std::bad_alloc. Most callers are destructors and
// noexcept functions, where anything let out would end the program; the
// others leave with an error of their own, which must not be replaced.
template <std::size_t N, typename F>
void IgnoreFailure([[maybe_unused]] const char (&reason)[N], F&& step) noexcept
{
    try {
        std::forward<F>(step)();
    } catch (...) {
    }
}
