// The list of links that point at a connection or a transaction.
//
// A slot is emptied, never erased, while notifications run: a link that
// unlinks itself during a walk leaves the indices of the others where they
// were, and the next addition reuses the first empty slot. A walk reads the
// size afresh at every step, so links added on the way are told as well.
#pragma once

#include <IgnoreFailure.h>

#include <cstddef>
#include <utility>
#include <vector>

template <typename T>
class TIBLinkSlots {
public:
    // The first empty slot, or a new one at the end; its index.
    int Add(T* item)
    {
        for (std::size_t i = 0; i < m_slots.size(); ++i)
            if (!m_slots[i]) {
                m_slots[i] = item;
                return static_cast<int>(i);
            }
        m_slots.push_back(item);
        return static_cast<int>(m_slots.size()) - 1;
    }

    // Empties the slot and returns what it held: nullptr for an empty slot
    // or an index outside the list.
    T* Take(int index) noexcept
    {
        if (index < 0 || static_cast<std::size_t>(index) >= m_slots.size())
            return nullptr;
        return std::exchange(m_slots[static_cast<std::size_t>(index)], nullptr);
    }

    // The first slot holding item, or -1.
    int IndexOf(const T* item) const noexcept
    {
        for (std::size_t i = 0; i < m_slots.size(); ++i)
            if (m_slots[i] == item)
                return static_cast<int>(i);
        return -1;
    }

    // The non-empty slots.
    int Count() const noexcept
    {
        int n = 0;
        for (T* item : m_slots)
            n += item != nullptr;
        return n;
    }

    // The slots, empty ones included.
    std::size_t Size() const noexcept { return m_slots.size(); }

    // The first linked item for which test holds, or nullptr.
    template <typename P>
    T* FindIf(P test) const
    {
        for (T* item : m_slots)
            if (item && test(item))
                return item;
        return nullptr;
    }

    // Calls f with every linked item in slot order.
    template <typename F>
    void ForEach(F f) const
    {
        Notify(f, false);
    }

    // As ForEach, for notifications. With swallow set (the
    // forced paths) what f throws is dropped and the walk goes on; otherwise
    // it ends the walk.
    template <typename F>
    void Notify(F f, bool swallow) const
    {
        std::size_t next = 0;
        NotifyFrom(next, f, swallow, [] { return true; });
    }

    // Notify from slot next on while goOn holds, leaving next after the last
    // slot reached: a walk that an inner one has finished finds nothing left.
    template <typename F, typename G>
    void NotifyFrom(std::size_t& next, F f, bool swallow, G goOn) const
    {
        while (goOn() && next < m_slots.size())
            if (T* item = m_slots[next++]) {
                if (swallow)
                    IgnoreFailure("a forced end or a destruction goes on whatever a link says", [&] { f(item); });
                else
                    f(item);
            }
    }

private:
    std::vector<T*> m_slots;   // not owned
};
