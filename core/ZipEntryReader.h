// The one CSV entry of a zip archive, read as a stream of bytes (libzip):
// Japan Post ships the source file zipped, and it is read from there without
// unpacking it first. Only a buffer's worth of the entry is held at a time.
#pragma once

#include "TextFile.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct zip;
struct zip_file;

// The largest uncompressed entry read: KEN_ALL.CSV is about 12 MiB, so an
// entry this size is no postal file, or a zip bomb.
constexpr std::uint64_t MaxZipEntrySize = std::uint64_t{512} << 20;

// Whether the open file's first bytes are a zip archive's (a local file
// header, or the end record of an empty archive); the file is left at its
// start. False for a file too short to tell.
bool IsZipFile(std::FILE* file);

// Opening and every read raise EInOutError whose message names the file and
// what is wrong: not a readable archive (corrupt, truncated), no entry whose
// name ends in ".csv" (any letter case) or more than one, an encrypted entry,
// one larger than maxSize, data that does not unpack to what the archive
// says (a CRC error, found when the end is read).
class TZipEntryReader : public TByteSource {
public:
    explicit TZipEntryReader(const std::string& path, std::uint64_t maxSize = MaxZipEntrySize);
    // The archive in file, opened from path, which names it in messages;
    // the reader owns file (closed also when this raises) and never opens
    // path again.
    TZipEntryReader(const std::string& path, std::FILE* file, std::uint64_t maxSize = MaxZipEntrySize);
    ~TZipEntryReader() override;
    TZipEntryReader(const TZipEntryReader&) = delete;
    TZipEntryReader& operator=(const TZipEntryReader&) = delete;

    std::size_t Read(char* buffer, std::size_t size) override;
    // The archive read again from the same open file, its entry from the start.
    void Rewind() override;
    // Also checks what was not read (after a 0x1A); raises as Read does.
    void Close() override;

    // The entry's name as stored in the archive (its bytes, not converted).
    const std::string& EntryName() const noexcept { return m_entryName; }

private:
    struct ArchiveDeleter {
        void operator()(zip* archive) const noexcept;
    };
    struct EntryDeleter {
        void operator()(zip_file* entry) const noexcept;
    };

    struct FileCloser {
        void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };

    void OpenEntry();
    [[noreturn]] void RaiseEntryError();

    std::string m_path;
    std::unique_ptr<std::FILE, FileCloser> m_file;
    std::uint64_t m_maxSize;
    std::string m_entryName;
    std::unique_ptr<zip, ArchiveDeleter> m_archive;
    std::unique_ptr<zip_file, EntryDeleter> m_entry;   // closed before the archive
    std::uint64_t m_size = 0;   // uncompressed, as the archive says
    std::uint64_t m_read = 0;
};
