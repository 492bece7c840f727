#include "ZipEntryReader.h"

#include "SysUtils.h"

#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

const std::string NoCsvEntry = "%s: ZIP \x83t\x83@\x83" "C\x83\x8B\x82\xCC\x92\x86\x82\xC9 CSV \x83t\x83@\x83" "C\x83\x8B\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1";   // %s: ZIP ファイルの中に CSV ファイルがありません
const std::string SeveralCsvEntries = "%s: ZIP \x83t\x83@\x83" "C\x83\x8B\x82\xCC\x92\x86\x82\xC9 CSV \x83t\x83@\x83" "C\x83\x8B\x82\xAA %d \x8C\xC2\x82\xA0\x82\xE8\x82\xDC\x82\xB7\x81i1 \x8C\xC2\x82\xBE\x82\xAF\x82\xC9\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81j";   // %s: ZIP ファイルの中に CSV ファイルが %d 個あります（1 個だけにしてください）
const std::string ArchiveDamaged = "%s: ZIP \x83t\x83@\x83" "C\x83\x8B\x82\xAA\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xE9\x82\xA9\x81" "A\x93r\x92\x86\x82\xC5\x90\xD8\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81i%s\x81j";   // %s: ZIP ファイルが壊れているか、途中で切れています（%s）
const std::string EntryTooLarge = "%s: ZIP \x83t\x83@\x83" "C\x83\x8B\x82\xCC\x92\x86\x82\xCC %s \x82\xCD\x93W\x8AJ\x82\xB7\x82\xE9\x82\xC6 %d \x83o\x83" "C\x83g\x82\xC9\x82\xC8\x82\xE8\x81" "A\x8F\xE3\x8C\xC0\x82\xCC %d \x83o\x83" "C\x83g\x82\xF0\x92\xB4\x82\xA6\x82\xC4\x82\xA2\x82\xDC\x82\xB7";   // %s: ZIP ファイルの中の %s は展開すると %d バイトになり、上限の %d バイトを超えています
const std::string EntryEncrypted = "%s: ZIP \x83t\x83@\x83" "C\x83\x8B\x82\xCC\x92\x86\x82\xCC %s \x82\xCD\x88\xC3\x8D\x86\x89\xBB\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7";   // %s: ZIP ファイルの中の %s は暗号化されています
const std::string EntryDamaged = "%s: ZIP \x83t\x83@\x83" "C\x83\x8B\x82\xCC\x92\x86\x82\xCC %s \x82\xAA\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81i%s\x81j";   // %s: ZIP ファイルの中の %s が壊れています（%s）
const std::string EntryUnreadable = "%s: ZIP \x83t\x83@\x83" "C\x83\x8B\x82\xCC\x92\x86\x82\xCC %s \x82\xAA\x93\xC7\x82\xDF\x82\xDC\x82\xB9\x82\xF1\x81i%s\x81j";   // %s: ZIP ファイルの中の %s が読めません（%s）

// A system error libzip met carries its errno (shown by the runtime's number
// where there is one); what is wrong with the archive's bytes is EIO, the
// system's code for an I/O failure it does not explain further.
[[noreturn]] void Raise(std::string message, int err = EIO)
{
    const int code = InOutErrorCodeFromErrno(err);
    throw EInOutError(std::move(message), code != 0 ? code : err, code == 0);
}

int SystemErrno(zip_error_t* error)
{
    return zip_error_system_type(error) == ZIP_ET_SYS && zip_error_code_system(error) != 0
               ? zip_error_code_system(error)
               : EIO;
}

// The failures of the file system, as against those of the archive's bytes.
bool IsSystemFailure(int zipCode)
{
    return zipCode == ZIP_ER_OPEN || zipCode == ZIP_ER_READ || zipCode == ZIP_ER_SEEK ||
           zipCode == ZIP_ER_NOENT || zipCode == ZIP_ER_MEMORY;
}

bool IsCsvName(const char* name)
{
    const std::size_t size = std::strlen(name);
    return size >= 4 && SameText(std::string(name + size - 4), ".csv");
}

} // namespace

bool IsZipFile(std::FILE* file)
{
    char head[4] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    std::clearerr(file);
    std::fseek(file, 0, SEEK_SET);
    return got == sizeof head &&
           (std::memcmp(head, "PK\x03\x04", 4) == 0 || std::memcmp(head, "PK\x05\x06", 4) == 0);
}

void TZipEntryReader::ArchiveDeleter::operator()(zip* archive) const noexcept
{
    zip_discard(archive);   // read only: nothing to write back
}

void TZipEntryReader::EntryDeleter::operator()(zip_file* entry) const noexcept
{
    zip_fclose(entry);
}

TZipEntryReader::TZipEntryReader(const std::string& path, std::uint64_t maxSize)
    : TZipEntryReader(path, OpenForReading(path), maxSize)
{
}

TZipEntryReader::TZipEntryReader(const std::string& path, std::FILE* file, std::uint64_t maxSize)
    : m_path(path), m_file(file), m_maxSize(maxSize)
{
    OpenEntry();
}

void TZipEntryReader::Rewind()
{
    m_entry.reset();
    m_archive.reset();
    m_read = 0;
    OpenEntry();
}

void TZipEntryReader::OpenEntry()
{
    const std::string& path = m_path;
    const std::uint64_t maxSize = m_maxSize;
    int code = 0;
    // libzip closes the descriptor it is given with the archive: it gets a
    // copy, so that the file stays open for a second reading.
#ifdef _WIN32
    const int fd = ::_dup(::_fileno(m_file.get()));
#else
    const int fd = ::dup(::fileno(m_file.get()));
#endif
    if (fd < 0)
        Raise(path + ": " + std::strerror(errno), errno);
    // ZIP_CHECKCONS: a central directory that disagrees with the local
    // headers is a damaged archive, refused before anything is read.
    m_archive.reset(zip_fdopen(fd, ZIP_RDONLY | ZIP_CHECKCONS, &code));
    if (!m_archive) {
#ifdef _WIN32
        ::_close(fd);
#else
        ::close(fd);
#endif
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        const std::string detail = zip_error_strerror(&error);
        const int err = code == ZIP_ER_NOENT ? ENOENT : SystemErrno(&error);
        zip_error_fini(&error);
        if (IsSystemFailure(code))
            Raise(path + ": " + detail, err);   // the file, not its bytes
        Raise(Format(ArchiveDamaged, {path, detail}));
    }

    const zip_int64_t count = zip_get_num_entries(m_archive.get(), 0);
    zip_uint64_t index = 0;
    std::int64_t csvEntries = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        // The name's own bytes: a Japanese archive's names are CP932 already.
        const char* name = zip_get_name(m_archive.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (name && IsCsvName(name)) {
            index = static_cast<zip_uint64_t>(i);
            m_entryName = name;
            ++csvEntries;
        }
    }
    if (csvEntries == 0)
        Raise(Format(NoCsvEntry, {path}));
    if (csvEntries > 1)
        Raise(Format(SeveralCsvEntries, {path, csvEntries}));

    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(m_archive.get(), index, ZIP_FL_ENC_RAW, &st) != 0)
        Raise(Format(ArchiveDamaged, {path, std::string(zip_strerror(m_archive.get()))}));
    if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE)
        Raise(Format(EntryEncrypted, {path, m_entryName}));
    if ((st.valid & ZIP_STAT_SIZE) && st.size > maxSize)
        Raise(Format(EntryTooLarge, {path, m_entryName, static_cast<std::int64_t>(st.size),
                                     static_cast<std::int64_t>(maxSize)}));
    m_size = (st.valid & ZIP_STAT_SIZE) ? st.size : maxSize;

    m_entry.reset(zip_fopen_index(m_archive.get(), index, 0));
    if (!m_entry) {
        zip_error_t* error = zip_get_error(m_archive.get());
        const int zipCode = zip_error_code_zip(error);
        const std::string detail = zip_error_strerror(error);
        if (IsSystemFailure(zipCode) || zipCode == ZIP_ER_COMPNOTSUPP)
            Raise(Format(EntryUnreadable, {path, m_entryName, detail}), SystemErrno(error));
        Raise(Format(EntryDamaged, {path, m_entryName, detail}));
    }
}

TZipEntryReader::~TZipEntryReader() = default;

void TZipEntryReader::RaiseEntryError()
{
    zip_error_t* error = zip_file_get_error(m_entry.get());
    const int zipCode = zip_error_code_zip(error);
    const std::string detail = zip_error_strerror(error);
    if (IsSystemFailure(zipCode))
        Raise(Format(EntryUnreadable, {m_path, m_entryName, detail}), SystemErrno(error));
    Raise(Format(EntryDamaged, {m_path, m_entryName, detail}));   // a CRC error, bad deflate data
}

std::size_t TZipEntryReader::Read(char* buffer, std::size_t size)
{
    if (!m_entry)
        throw EInOutError(std::strerror(EBADF), 103);   // the runtime's "file not open"
    const zip_int64_t got = zip_fread(m_entry.get(), buffer, size);
    if (got < 0)
        RaiseEntryError();
    // The stated size was checked against the limit; data that unpacks to
    // more than it says (a zip bomb) is cut off here, not at its end.
    m_read += static_cast<std::uint64_t>(got);
    if (m_read > m_size)
        Raise(Format(EntryDamaged, {m_path, m_entryName, std::string("more data than the archive states")}));
    return static_cast<std::size_t>(got);
}

void TZipEntryReader::Close()
{
    // The text may end early at a 0x1A, but the archive's check covers the
    // whole entry: the rest is unpacked and thrown away, so that a damaged
    // entry is never taken for a good one.
    if (m_entry) {
        char rest[16384];
        while (Read(rest, sizeof rest) != 0) {
        }
    }
    m_entry.reset();
    m_archive.reset();
}
