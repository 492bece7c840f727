// The postal source file KEN_ALL.CSV, read line by line into dictionary records.
#pragma once

#include "DictionaryRecord.h"
#include "SourceEncoding.h"

#include <Classes.h>
#include <TextFile.h>

#include <string>

// The executable folder followed by "KEN_ALL.CSV"; no other place is searched.
std::string SourceFilePath();

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

    void Open(const std::string& path);
    bool Eof() { return m_reader.Eof(); }
    // Reads the next line; the text-file rules of TTextReader apply.
    void ReadLine();
    // Splits the line last read and builds its record; false when the line
    // gives none (fewer than 9 fields).
    bool TakeRecord(TDictionaryRecord& record);
    void Close() { m_reader.Close(); }
    void CloseQuietly() noexcept { m_reader.CloseQuietly(); }

    const std::string& Line() const noexcept { return m_line; }
    // What the pass has found out about the file so far.
    bool IsUtf8() const noexcept { return m_encoding.IsUtf8(); }
    // The characters of this pass stored as 〓 (a UTF-8 file's only).
    const TReplacements& Replacements() const noexcept { return m_encoding.Replacements(); }

private:
    TTextReader m_reader;
    std::string m_path;
    long m_lineNumber = 0;
    TSourceEncoding m_encoding;
    std::string m_line;
    TStringList m_fields;
};
