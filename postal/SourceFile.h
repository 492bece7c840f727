// The postal source file KEN_ALL.CSV, read line by line into dictionary records.
#pragma once

#include "DictionaryRecord.h"
#include "SourceEncoding.h"
#include "TableDescription.h"

#include <Classes.h>
#include <StopRequest.h>
#include <TextFile.h>

#include <cstdint>
#include <string>

// The executable folder followed by "KEN_ALL.CSV"; no other place is searched.
std::string SourceFilePath();

// What a strict reading holds every line of a file to: the column count of
// the comma-text split. 0 takes any line, as the window reads.
struct TSourceLayout {
    int Columns = 0;
};
// KEN_ALL.CSV and the month's add and delete files.
inline constexpr TSourceLayout KenAllLayout{15};
// A strict reading refuses a longer line: the longest of KEN_ALL.CSV has
// some 500 bytes.
constexpr std::size_t MaxSourceLineLength = 64 * 1024;

// What one pass read: two passes over the same bytes give equal ones.
struct TReadFingerprint {
    std::uint64_t Bytes = 0;
    std::uint32_t Checksum = 0;   // CRC-32 of those bytes
    long Records = 0;             // lines that gave a record
    bool operator==(const TReadFingerprint&) const = default;
};

// One pass over the source file. Holds only the current line and its fields
// (both reused), so memory does not grow with the file. Both passes of a
// build read through this class so that they see the same records.
// The file may be a zip archive holding one CSV file (known by its first
// bytes, whatever its name): that entry is read, unpacked as it goes, by the
// same text-file rules. Every failure of Open, Eof, ReadLine and Close
// raises EInOutError; for a zip that cannot be read its message names the
// file and what is wrong with it.
// A UTF-8 file (TSourceEncoding decides, anew for every Open) is split as
// UTF-8 and its fields converted to CP932 before the record is built, so
// that widths, the placeholder rule and the stored bytes are the same as
// for the Shift-JIS file of the same addresses. A line that makes the file
// one of mixed encodings raises EInOutError from ReadLine.
class TSourceFile {
public:
    TSourceFile() = default;
    TSourceFile(const TSourceFile&) = delete;
    TSourceFile& operator=(const TSourceFile&) = delete;

    // Before Open: the file must be well-formed in this layout, or Eof,
    // ReadLine and TakeRecord raise EMalformedText naming the file as given
    // to Open and the first bad line: a line of another column count, a
    // byte 0x00, a line over MaxSourceLineLength, a last line without its
    // line end, anything after a 0x1A. Every line then gives a record.
    void ReadStrictly(const TSourceLayout& layout) { m_layout = layout; }
    // Before Open, instead: as strictly, in the layout of the table whose
    // file has as many columns as the first line (TableForColumns); every
    // line gives a row of that table (TakeRow). A first line of another
    // count raises EMalformedText too.
    void ReadStrictlyAsTable() { m_asTable = true; }
    void Open(const std::string& path);
    // Reads the file opened again from its start, without opening its name
    // again: a file replaced under that name meanwhile is not seen. The
    // fingerprint starts afresh. A table chosen by the first line stays
    // chosen: every line must be in its layout.
    void Rewind();
    bool Eof() { return m_reader.Eof(); }
    // Reads the next line; the text-file rules of TTextReader apply.
    void ReadLine();
    // Splits the line last read and builds its record; false when the line
    // gives none (fewer than 9 fields).
    bool TakeRecord(TDictionaryRecord& record);
    // With ReadStrictlyAsTable: splits the line last read and builds the row
    // of the file's table.
    void TakeRow(TTableRow& row);
    // The table the first line chose; null before it.
    const TTableDescription* Table() const noexcept { return m_table; }
    void Close() { m_reader.Close(); }
    void CloseQuietly() noexcept { m_reader.CloseQuietly(); }

    const std::string& Line() const noexcept { return m_line; }
    // Since the open or the last rewind.
    TReadFingerprint Fingerprint() const noexcept
    {
        return {m_reader.BytesRead(), m_reader.Checksum(), m_records};
    }
    // What the pass has found out about the file so far.
    bool IsUtf8() const noexcept { return m_encoding.IsUtf8(); }
    // The characters of this pass stored as 〓 (a UTF-8 file's only).
    const TReplacements& Replacements() const noexcept { return m_encoding.Replacements(); }

private:
    // Splits the line last read and converts a UTF-8 line's fields.
    void Split(int maxFields, int columns, const TConvertedColumns& converted);

    TTextReader m_reader;
    std::string m_line;
    TStringList m_fields;
    TSourceLayout m_layout;
    bool m_asTable = false;
    const TTableDescription* m_table = nullptr;   // one of the descriptions, chosen after each Open
    std::string m_path;
    long m_records = 0;
    long m_lineNumber = 0;   // lines read since the open or the last rewind
    TSourceEncoding m_encoding;
};

// Reads an open source (ReadStrictlyAsTable) from where it stands to its
// end, calling onRow(row, line) with every row and its line, from 1 when the
// source was just opened. A stop request is polled per line (EStopped).
// What the reading or onRow raises passes unchanged; the source stays open.
template <typename F>
void ForEachRow(TSourceFile& source, F onRow)
{
    TTableRow row;
    for (long line = 1; !source.Eof(); ++line) {
        source.ReadLine();
        ThrowIfStopRequested();
        source.TakeRow(row);
        onRow(static_cast<const TTableRow&>(row), line);
    }
}
