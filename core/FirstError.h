// Steps that must all run whatever one of them throws: the first error is
// kept and raised after the last step; the later ones are dropped.
#pragma once

#include <exception>
#include <utility>

class TFirstError {
public:
    // Runs step. What it throws is kept when nothing is kept yet, else dropped.
    template <typename F>
    void Run(F&& step) noexcept
    {
        try {
            std::forward<F>(step)();
        } catch (...) {
            if (!m_error)
                m_error = std::current_exception();
        }
    }
    bool Failed() const noexcept { return static_cast<bool>(m_error); }
    // Raises the kept error, when there is one.
    void Rethrow() const
    {
        if (m_error)
            std::rethrow_exception(m_error);
    }

private:
    std::exception_ptr m_error;
};
