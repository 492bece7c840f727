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
    m_lineNumber = 0;
    m_encoding.Reset();
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
    m_lineNumber = 0;
    m_encoding.Reset();   // decided again from the same bytes
}

void TSourceFile::ReadLine()
{
    m_reader.ReadLine(m_line);
    m_encoding.TakeLine(m_line, ++m_lineNumber, m_path);
}

bool TSourceFile::TakeRecord(TDictionaryRecord& record)
{
    // Every field counts in a strict reading: a column more or less shifts
    // the record. Otherwise fields after the ninth are ignored by the
    // record, so they are not split.
    const int maxFields = m_layout.Columns > 0 ? INT_MAX : RecordFieldCount;
    if (m_encoding.IsUtf8())
        SplitUtf8CommaText(m_line, m_fields, maxFields);
    else
        SplitCommaText(m_line, m_fields, maxFields);
    if (m_layout.Columns > 0 && m_fields.Count() != m_layout.Columns)
        throw EMalformedText(m_path, m_reader.LinesRead(),
                             std::to_string(m_fields.Count()) + " columns, not " + std::to_string(m_layout.Columns));
    if (m_encoding.IsUtf8() && m_fields.Count() >= RecordFieldCount)
        m_encoding.ConvertFields(m_fields.RawLines(), m_lineNumber);
    if (!BuildRecord(m_fields, record))
        return false;
    ++m_records;
    return true;
}
