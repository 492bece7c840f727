// Runs an action when a scope ends, whichever way it ends.
#pragma once

#include <utility>

// The action runs in the destructor, so it must not throw.
template <typename F>
class TScopeExit {
public:
    explicit TScopeExit(F action) : m_action(std::move(action)) {}
    ~TScopeExit() { m_action(); }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

private:
    F m_action;
};
