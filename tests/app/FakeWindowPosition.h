// A window position without a window, for the settings file's tests.
#pragma once

#include <Settings.h>

struct FakeWindowPosition final : WindowPosition {
    int left = 192;
    int top = 107;
    int moves = 0;

    int Left() const override { return left; }
    int Top() const override { return top; }
    void SetLeft(int value) override { left = value; ++moves; }
    void SetTop(int value) override { top = value; ++moves; }
};
