#include "TextFile.h"

#include "SysUtils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#ifdef _WIN32
#include <filesystem>
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr std::size_t BufferSize = 1 << 16;
constexpr char CtrlZ = 0x1A;

constexpr int FileNotOpen = 103;   // the runtime's number

// A C library call that failed without setting errno gets EIO, the system's
// own code for an unexplained I/O failure; it is shown as such, never as one
// of the runtime's numbers it happens to equal.
[[noreturn]] void RaiseLastError()
{
    RaiseInOutError(errno != 0 ? errno : EIO);
}

[[noreturn]] void RaiseNotOpen()
{
    throw EInOutError(std::strerror(EBADF), FileNotOpen);
}

// What a replacing writer needs of the file system.
#ifdef _WIN32
int ProcessId() { return ::_getpid(); }
std::string ResolvedPath(const std::string& path) { return path; }
bool MayWrite(const std::string& path) { return ::_access(path.c_str(), 2) == 0; }
int OpenNewFile(const std::string& path)
{
    return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}
void KeepOwnerAndPermissions(int, const struct stat&) {}
std::FILE* StreamOf(int fd) { return ::_fdopen(fd, "wb"); }
void CloseDescriptor(int fd) { ::_close(fd); }
bool SyncToDisk(std::FILE* file) { return ::_commit(::_fileno(file)) == 0; }
// Replaces an existing file (MoveFileEx with MOVEFILE_REPLACE_EXISTING);
// <windows.h> stays out, its DeleteFile macro would rename ours.
bool MoveOver(const std::string& from, const std::string& to)
{
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (error)
        errno = EACCES;
    return !error;
}
#else
int ProcessId() { return static_cast<int>(::getpid()); }
// A symbolic link is replaced where it points, as writing in place would.
std::string ResolvedPath(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string out(resolved);
    std::free(resolved);
    return out;
}
bool MayWrite(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }
int OpenNewFile(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
}
// Best effort, as a file written in place keeps its own. The owner first:
// a change of owner clears the set-user and set-group bits that the mode
// then puts back. Root sets any owner; anyone else may at least keep a group
// he belongs to, and otherwise the new file is his, as any file he makes.
void KeepOwnerAndPermissions(int fd, const struct stat& old)
{
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    ::fchmod(fd, old.st_mode & 07777);
}
std::FILE* StreamOf(int fd) { return ::fdopen(fd, "wb"); }
void CloseDescriptor(int fd) { ::close(fd); }
bool SyncToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }
bool MoveOver(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }
#endif

// A CR is dropped wherever it stands in a line.
void AppendWithoutCR(std::string& line, const char* from, std::size_t size)
{
    while (size > 0) {
        const char* cr = static_cast<const char*>(std::memchr(from, '\r', size));
        const std::size_t take = cr ? static_cast<std::size_t>(cr - from) : size;
        line.append(from, take);
        if (!cr)
            return;
        from += take + 1;
        size -= take + 1;
    }
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

std::FILE* OpenForReading(const std::string& path)
{
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        RaiseLastError();
    return file;
}

void TTextReader::Open(const std::string& path)
{
    CloseQuietly();
    Open(OpenForReading(path));
}

void TTextReader::Open(std::unique_ptr<TByteSource> source)
{
    CloseQuietly();
    m_source = std::move(source);
    Restart();
}

void TTextReader::Open(std::FILE* file)
{
    CloseQuietly();
    m_file = file;
    Restart();
}

void TTextReader::Restart()
{
    m_buffer.resize(BufferSize);
    m_pos = m_end = 0;
    m_atEnd = false;
    m_lines = 0;
    m_bytes = 0;
    m_checksum = static_cast<std::uint32_t>(::crc32(0, nullptr, 0));
}

void TTextReader::ReadStrictly(const std::string& file, std::size_t maxLength)
{
    m_strict = true;
    m_name = file;
    m_maxLength = maxLength;
}

void TTextReader::Rewind()
{
    if (m_source) {
        m_source->Rewind();
    } else {
        if (!m_file)
            RaiseNotOpen();
        errno = 0;
        if (std::fseek(m_file, 0, SEEK_SET) != 0)
            RaiseLastError();
        std::clearerr(m_file);
    }
    Restart();
}

void TTextReader::Consume(const char* from, std::size_t size)
{
    m_bytes += size;
    m_checksum = static_cast<std::uint32_t>(::crc32(m_checksum, reinterpret_cast<const Bytef*>(from),
                                                    static_cast<uInt>(size)));
}

void TTextReader::RaiseMalformed(long line, const std::string& what) const
{
    throw EMalformedText(m_name, line, what);
}

void TTextReader::CheckEndAfterCtrlZ(std::size_t at, long line)
{
    // A file that goes on after it is no file that ends there: a cut or
    // damaged download, or no text at all.
    bool more = at + 1 < m_end;
    m_atEnd = false;
    while (!more && Fill())
        more = true;
    m_atEnd = true;
    m_pos = m_end = 0;
    if (more)
        RaiseMalformed(line, "bytes after the end-of-file byte 0x1A");
}

bool TTextReader::Fill()
{
    if (m_atEnd)
        return false;
    if (m_source) {
        m_pos = m_end = 0;
        m_end = m_source->Read(m_buffer.data(), m_buffer.size());
    } else {
        if (!m_file)
            RaiseNotOpen();
        errno = 0;
        m_end = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
        m_pos = 0;
        if (m_end == 0 && std::ferror(m_file))
            RaiseLastError();
    }
    if (m_end == 0) {
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
        if (m_strict)
            CheckEndAfterCtrlZ(m_pos, m_lines + 1);
        m_atEnd = true;
        m_pos = m_end = 0;
        return true;
    }
    return false;
}

void TTextReader::ReadLine(std::string& line)
{
    // Searched with memchr, piece by piece: a byte loop testing every byte
    // for LF, CR and 0x1A costs ten times a plain read of the file.
    line.clear();
    const std::uint64_t bytesBefore = m_bytes;
    bool counted = false;
    for (;;) {
        if (m_pos >= m_end && !Fill()) {
            if (m_strict && m_bytes > bytesBefore)
                RaiseMalformed(m_lines, "the last line has no line end (a cut file?)");
            return;
        }
        if (!counted) {
            counted = true;
            ++m_lines;
        }
        const char* from = m_buffer.data() + m_pos;
        const std::size_t available = m_end - m_pos;
        const char* lf = static_cast<const char*>(std::memchr(from, '\n', available));
        const std::size_t span = lf ? static_cast<std::size_t>(lf - from) : available;
        const char* ctrlZ = static_cast<const char*>(std::memchr(from, CtrlZ, span));
        const std::size_t take = ctrlZ ? static_cast<std::size_t>(ctrlZ - from) : span;
        if (m_strict && std::memchr(from, '\0', take))
            RaiseMalformed(m_lines, "a byte 0x00");
        AppendWithoutCR(line, from, take);
        Consume(from, ctrlZ || !lf ? take : take + 1);
        if (m_strict && line.size() > m_maxLength)
            RaiseMalformed(m_lines, "longer than " + std::to_string(m_maxLength) + " bytes");
        if (ctrlZ) {
            if (m_bytes == bytesBefore)
                --m_lines;   // the 0x1A stands at a line's start: no line
            if (m_strict) {
                CheckEndAfterCtrlZ(static_cast<std::size_t>(ctrlZ - m_buffer.data()), m_lines + (m_bytes == bytesBefore));
                if (m_bytes > bytesBefore)
                    RaiseMalformed(m_lines, "the last line has no line end (a cut file?)");
            }
            m_atEnd = true;
            m_pos = m_end = 0;
            return;
        }
        m_pos += span;
        if (lf) {
            ++m_pos;
            return;
        }
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
    if (m_source) {
        const std::unique_ptr<TByteSource> source = std::move(m_source);
        m_atEnd = true;
        source->Close();
        return;
    }
    if (!m_file)
        return;
    std::FILE* file = m_file;
    m_file = nullptr;
    m_atEnd = true;
    errno = 0;
    if (std::fclose(file) != 0)
        RaiseLastError();
}

void TTextReader::CloseQuietly() noexcept
{
    m_source.reset();
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
        RaiseLastError();
}

void TTextWriter::CreateReplacing(const std::string& path)
{
    CloseQuietly();
    errno = 0;
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        Create(path);   // a device is written, never replaced; a folder refuses
        return;
    }
    const std::string target = exists ? ResolvedPath(path) : path;
    if (exists && !MayWrite(target))
        RaiseLastError();
    const std::string temporary = target + ".tmp" + std::to_string(ProcessId());
    const int fd = OpenNewFile(temporary);
    // A folder that takes no new file (a program folder the user may not
    // write) refuses the replacement even when the file itself is writable.
    // Writing that file in place would truncate the only copy before a write
    // that may fail, so it is left as it is.
    if (fd < 0)
        RaiseLastError();
    m_target = target;
    m_temporary = temporary;
    if (exists)
        KeepOwnerAndPermissions(fd, old);
    m_file = StreamOf(fd);
    if (!m_file) {
        const int err = errno;
        CloseDescriptor(fd);
        DiscardTemporary();
        RaiseInOutError(err);
    }
}

void TTextWriter::WriteLine(const std::string& line)
{
    if (!m_file)
        RaiseNotOpen();
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size() || std::fwrite("\r\n", 1, 2, m_file) != 2)
        RaiseLastError();
}

void TTextWriter::Close()
{
    if (!m_file)
        return;
    std::FILE* file = m_file;
    m_file = nullptr;
    errno = 0;
    bool flushed = std::fflush(file) == 0;
    // A replacement must be on the disk before it takes the old file's
    // place: a power cut just after the rename would otherwise leave an
    // empty file where the old one was.
    if (flushed && !m_temporary.empty())
        flushed = SyncToDisk(file);
    int err = errno;
    bool closed = std::fclose(file) == 0;
    if (!flushed || !closed) {
        err = flushed ? errno : err;
        DiscardTemporary();
        RaiseInOutError(err != 0 ? err : EIO);
    }
    if (m_temporary.empty())
        return;
    if (!MoveOver(m_temporary, m_target)) {
        err = errno;
        DiscardTemporary();
        RaiseInOutError(err != 0 ? err : EIO);
    }
    m_temporary.clear();
}

void TTextWriter::CloseQuietly() noexcept
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    DiscardTemporary();
}

void TTextWriter::DiscardTemporary() noexcept
{
    if (!m_temporary.empty()) {
        std::remove(m_temporary.c_str());
        m_temporary.clear();
    }
}
