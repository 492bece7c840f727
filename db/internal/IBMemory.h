// The layer's C memory: the blocks handed to the client library (descriptor
// areas, data and indicator buffers) and the result set's record buffers.
// Every block has its owner from the moment it is allocated; an allocation
// that fails raises std::bad_alloc and leaves the owner as it was.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

// Owner of a malloc'ed C buffer.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Resizes a malloc'ed buffer, keeping its content up to the smaller size and
// zero-filling from oldSize up to newSize (0 frees it). Raises std::bad_alloc
// and leaves the buffer as it was when memory runs out. Returns the new address.
void* ReallocZeroedRaw(void* buffer, std::size_t oldSize, std::size_t newSize);

template <typename T>
void ReallocZeroed(MallocPtr<T>& buffer, std::size_t oldSize, std::size_t newSize)
{
    void* p = ReallocZeroedRaw(buffer.get(), oldSize, newSize);
    (void)buffer.release();
    buffer.reset(static_cast<T*>(p));
}

// count zeroed objects of a C type, owned.
template <typename T>
MallocPtr<T> AllocateZeroed(std::size_t count = 1)
{
    void* p = std::calloc(count, sizeof(T));
    if (!p)
        throw std::bad_alloc();
    return MallocPtr<T>(static_cast<T*>(p));
}

// A block of bytes and its size.
class TByteBlock {
public:
    char* Data() const noexcept { return m_data.get(); }
    std::size_t Size() const noexcept { return m_size; }
    explicit operator bool() const noexcept { return m_data != nullptr; }

    // A new block of size bytes, all zero.
    void AllocateZeroed(std::size_t size)
    {
        m_data = ::AllocateZeroed<char>(size);
        m_size = size;
    }
    // A new block of size bytes (at least one is allocated), not cleared.
    void Allocate(std::size_t size)
    {
        void* p = std::malloc(size == 0 ? 1 : size);
        if (!p)
            throw std::bad_alloc();
        m_data.reset(static_cast<char*>(p));
        m_size = size;
    }
    // The content is kept up to the smaller size; added bytes are zero.
    void ResizeZeroed(std::size_t size)
    {
        ReallocZeroed(m_data, m_size, size);
        m_size = size;
    }
    // The content is kept up to the smaller size; added bytes are not
    // cleared, for blocks whose bytes are written before they are read.
    void Resize(std::size_t size)
    {
        void* p = std::realloc(m_data.get(), size);
        if (!p)
            throw std::bad_alloc();
        (void)m_data.release();
        m_data.reset(static_cast<char*>(p));
        m_size = size;
    }
    void Reset() noexcept
    {
        m_data.reset();
        m_size = 0;
    }
    // Hands the block over to a caller that frees it with std::free.
    char* Release() noexcept
    {
        m_size = 0;
        return m_data.release();
    }

private:
    MallocPtr<char> m_data;
    std::size_t m_size = 0;
};
