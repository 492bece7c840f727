#include "SourceFile.h"

#include "CommaText.h"

#include <UnitV.h>
#include <ZipEntryReader.h>

#include <memory>

std::string SourceFilePath()
{
    return ExeFolder + "KEN_ALL.CSV";
}

void TSourceFile::Open(const std::string& path)
{
    m_reader.CloseQuietly();
    m_path = path;
    m_records = 0;
    // Opened once: a second pass rewinds this file, whatever the name
    // stands for by then.
    std::FILE* file = OpenForReading(path);
    if (IsZipFile(file))
        m_reader.Open(std::make_unique<TZipEntryReader>(path, file));
    else
        m_reader.Open(file);
    if (m_layout.Columns > 0)
        m_reader.ReadStrictly(path, MaxSourceLineLength);
}

void TSourceFile::Rewind()
{
    m_reader.Rewind();
    m_records = 0;
}

bool TSourceFile::TakeRecord(TDictionaryRecord& record)
{
    if (m_layout.Columns > 0) {
        // Every field counts: a column more or less shifts the record.
        SplitCommaText(m_line, m_fields);
        if (m_fields.Count() != m_layout.Columns)
            throw EMalformedText(m_path, m_reader.LinesRead(),
                                 std::to_string(m_fields.Count()) + " columns, not " +
                                     std::to_string(m_layout.Columns));
    } else {
        // Fields after the ninth are ignored by the record, so they are not split.
        SplitCommaText(m_line, m_fields, RecordFieldCount);
    }
    if (!BuildRecord(m_fields, record))
        return false;
    ++m_records;
    return true;
}
