// Text files as the system reads and writes them.
//
// Reading: a line ends at LF (0x0A); every CR (0x0D) is dropped from the text,
// so CR LF ends a line and a lone CR neither ends it nor stays in it. A byte
// 0x1A ends the file: it and everything after it are never read. Lines have no
// length limit; the last line needs no line end. Writing: each line is
// followed by CR LF. Every failure raises EInOutError.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

bool FileExists(const std::string& path);
// Removes the file; false when it could not be removed (never raises).
bool DeleteFile(const std::string& path);

// Bytes for a text reader from somewhere other than a plain file (an entry
// of a zip archive). Read and Close raise EInOutError; the destructor
// releases quietly.
class TByteSource {
public:
    virtual ~TByteSource() = default;
    // Up to size bytes into buffer; 0 only at the end.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
    virtual void Close() = 0;
};

class TTextReader {
public:
    TTextReader() = default;
    explicit TTextReader(const std::string& path) { Open(path); }
    ~TTextReader() { CloseQuietly(); }
    TTextReader(const TTextReader&) = delete;
    TTextReader& operator=(const TTextReader&) = delete;

    void Open(const std::string& path);
    // Reads the source's bytes by the same rules; the reader owns it.
    void Open(std::unique_ptr<TByteSource> source);
    bool IsOpen() const noexcept { return m_file != nullptr || m_source != nullptr; }
    // True when no byte is left before the end of the file or a 0x1A.
    bool Eof();
    // Reads the next line into line (its old content is replaced, its
    // capacity kept). At the end of the file the line is empty.
    void ReadLine(std::string& line);
    std::string ReadLine();
    void Close();
    void CloseQuietly() noexcept;

private:
    bool Fill();

    std::FILE* m_file = nullptr;
    std::unique_ptr<TByteSource> m_source;   // instead of m_file
    std::vector<char> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    bool m_atEnd = false;   // end of file or 0x1A met
};

class TTextWriter {
public:
    TTextWriter() = default;
    explicit TTextWriter(const std::string& path) { Create(path); }
    ~TTextWriter() { CloseQuietly(); }
    TTextWriter(const TTextWriter&) = delete;
    TTextWriter& operator=(const TTextWriter&) = delete;

    // Creates the file, replacing an existing one.
    void Create(const std::string& path);
    // Replaces the file in one step: the lines go to a temporary file beside
    // it, which Close() puts in its place only when all of it is stored, so
    // that the path holds either the old content or all of the new. A
    // failing write or Close, CloseQuietly and the destructor remove the
    // temporary file and leave the old file as it was. Like Create, raises at
    // once when the file exists but may not be written (a read-only file is
    // not replaced), and when no temporary file can be made beside it (a
    // folder that takes no new file): the old file is never truncated. The
    // new file keeps the old one's permissions, and its owner and group where
    // the process may set them (as root); a symbolic link is followed.
    // Anything but a plain file (a device) is written in place as by Create.
    void CreateReplacing(const std::string& path);
    bool IsOpen() const noexcept { return m_file != nullptr; }
    void WriteLine(const std::string& line);
    // Flushes and closes; raises when anything written could not be stored.
    void Close();
    void CloseQuietly() noexcept;

private:
    void DiscardTemporary() noexcept;

    std::FILE* m_file = nullptr;
    std::string m_target;      // CreateReplacing: the file to replace
    std::string m_temporary;   // CreateReplacing: where the lines go first
};
