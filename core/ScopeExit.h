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

// Sets a flag for the life of the guard and restores its value after.
class TFlagGuard {
public:
    explicit TFlagGuard(bool& flag) : m_flag(flag), m_old(flag) { m_flag = true; }
    ~TFlagGuard() { m_flag = m_old; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;

private:
    bool& m_flag;
    bool m_old;
};
