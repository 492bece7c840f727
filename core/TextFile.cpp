#include "TextFile.h"

#include "SysUtils.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr std::size_t BufferSize = 1 << 16;
constexpr char CtrlZ = 0x1A;

[[noreturn]] void RaiseLastError(int fallback)
{
    RaiseInOutError(errno != 0 ? errno : fallback);
}

} // namespace

bool FileExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DeleteFile(const std::string& path)
{
    return std::remove(path.c_str()) == 0;
}

void TTextReader::Open(const std::string& path)
{
    CloseQuietly();
    errno = 0;
    m_file = std::fopen(path.c_str(), "rb");
    if (!m_file)
        RaiseLastError(EIO);
    m_buffer.resize(BufferSize);
    m_pos = m_end = 0;
    m_atEnd = false;
}

bool TTextReader::Fill()
{
    if (m_atEnd)
        return false;
    if (!m_file)
        RaiseInOutError(EBADF);
    errno = 0;
    m_end = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
    m_pos = 0;
    if (m_end == 0) {
        if (std::ferror(m_file))
            RaiseLastError(EIO);
        m_atEnd = true;
        return false;
    }
    return true;
}

bool TTextReader::Eof()
{
    if (m_pos >= m_end && !Fill())
        return true;
    if (m_buffer[m_pos] == CtrlZ) {
        m_atEnd = true;
        m_pos = m_end = 0;
        return true;
    }
    return false;
}

void TTextReader::ReadLine(std::string& line)
{
    line.clear();
    for (;;) {
        if (m_pos >= m_end && !Fill())
            return;
        const char* data = m_buffer.data();
        std::size_t i = m_pos;
        while (i < m_end) {
            char c = data[i];
            if (c == '\n' || c == '\r' || c == CtrlZ)
                break;
            ++i;
        }
        line.append(data + m_pos, i - m_pos);
        m_pos = i;
        if (i == m_end)
            continue;
        char c = data[i];
        if (c == CtrlZ) {
            m_atEnd = true;
            m_pos = m_end = 0;
            return;
        }
        ++m_pos;
        if (c == '\n')
            return;
        // a CR is dropped wherever it stands
    }
}

std::string TTextReader::ReadLine()
{
    std::string line;
    ReadLine(line);
    return line;
}

void TTextReader::Close()
{
    if (!m_file)
        return;
    std::FILE* file = m_file;
    m_file = nullptr;
    m_atEnd = true;
    errno = 0;
    if (std::fclose(file) != 0)
        RaiseLastError(EIO);
}

void TTextReader::CloseQuietly() noexcept
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_atEnd = true;
}

void TTextWriter::Create(const std::string& path)
{
    CloseQuietly();
    errno = 0;
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file)
        RaiseLastError(EIO);
}

void TTextWriter::WriteLine(const std::string& line)
{
    if (!m_file)
        RaiseInOutError(EBADF);
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size() || std::fwrite("\r\n", 1, 2, m_file) != 2)
        RaiseLastError(EIO);
}

void TTextWriter::Close()
{
    if (!m_file)
        return;
    std::FILE* file = m_file;
    m_file = nullptr;
    errno = 0;
    bool flushed = std::fflush(file) == 0;
    int err = errno;
    bool closed = std::fclose(file) == 0;
    if (!flushed || !closed) {
        errno = flushed ? errno : err;
        RaiseLastError(EIO);
    }
}

void TTextWriter::CloseQuietly() noexcept
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}
