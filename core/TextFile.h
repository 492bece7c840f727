// Text files as the system reads and writes them.
//
// Reading: a line ends at LF (0x0A); every CR (0x0D) is dropped from the text,
// so CR LF ends a line and a lone CR neither ends it nor stays in it. A byte
// 0x1A ends the file: it and everything after it are never read. Lines have no
// length limit; the last line needs no line end (a strict reading asks more,
// see TTextReader::ReadStrictly). Writing: each line is followed by CR LF.
// Every failure raises EInOutError.
#pragma once

#include "SysUtils.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

bool FileExists(const std::string& path);
// Removes the file; false when it could not be removed (never raises).
bool DeleteFile(const std::string& path);
// Opens the file for reading in binary mode; EInOutError when it cannot.
std::FILE* OpenForReading(const std::string& path);

// A line that a strict reading refuses; the message is "<file> line <n>: <what>".
class EMalformedText : public Exception {
public:
    EMalformedText(const std::string& file, long line, const std::string& what)
        : Exception(file + " line " + std::to_string(line) + ": " + what), m_line(line)
    {
    }
    long Line() const noexcept { return m_line; }

private:
    long m_line;
};

// Bytes for a text reader from somewhere other than a plain file (an entry
// of a zip archive). Read and Close raise EInOutError; the destructor
// releases quietly.
class TByteSource {
public:
    virtual ~TByteSource() = default;
    // Up to size bytes into buffer; 0 only at the end.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
    // The next Read starts again from the first byte.
    virtual void Rewind() = 0;
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
    // Reads an open file from where it stands; the reader owns it.
    void Open(std::FILE* file);
    bool IsOpen() const noexcept { return m_file != nullptr || m_source != nullptr; }
    // From here on the file must be well-formed text, or ReadLine and Eof
    // raise EMalformedText naming file and the line: no byte 0x00, no line
    // longer than maxLength bytes (refused once that much is read, so a file
    // without line ends never fills the memory), every line ended by LF, and
    // nothing but the end of the file after a 0x1A.
    void ReadStrictly(const std::string& file, std::size_t maxLength);
    // Starts again at the first byte of what was opened, without opening it
    // anew: the same file even when its name now stands for another.
    void Rewind();
    // True when no byte is left before the end of the file or a 0x1A.
    bool Eof();
    // Reads the next line into line (its old content is replaced, its
    // capacity kept). At the end of the file the line is empty.
    void ReadLine(std::string& line);
    std::string ReadLine();
    void Close();
    void CloseQuietly() noexcept;

    // What the lines read since the open or the last rewind consumed: their
    // count, their bytes (line ends included, CRs too) and the CRC-32 of
    // those bytes. Two readings of the same bytes give the same three.
    long LinesRead() const noexcept { return m_lines; }
    std::uint64_t BytesRead() const noexcept { return m_bytes; }
    std::uint32_t Checksum() const noexcept { return m_checksum; }

private:
    bool Fill();
    void Restart();
    void Consume(const char* from, std::size_t size);
    // Strict reading: a 0x1A at offset at of the buffer must be the last byte.
    void CheckEndAfterCtrlZ(std::size_t at, long line);
    [[noreturn]] void RaiseMalformed(long line, const std::string& what) const;

    std::FILE* m_file = nullptr;
    std::unique_ptr<TByteSource> m_source;   // instead of m_file
    std::vector<char> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    bool m_atEnd = false;   // end of file or 0x1A met
    bool m_strict = false;
    std::string m_name;     // strict: the file named in its errors
    std::size_t m_maxLength = 0;
    long m_lines = 0;
    std::uint64_t m_bytes = 0;
    std::uint32_t m_checksum = 0;
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
