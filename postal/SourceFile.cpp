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
    m_lineNumber = 0;
    m_encoding.Reset();
    if (IsZipFile(path))
        m_reader.Open(std::make_unique<TZipEntryReader>(path));
    else
        m_reader.Open(path);
}

void TSourceFile::ReadLine()
{
    m_reader.ReadLine(m_line);
    m_encoding.TakeLine(m_line, ++m_lineNumber, m_path);
}

bool TSourceFile::TakeRecord(TDictionaryRecord& record)
{
    // Fields after the ninth are ignored by the record, so they are not split.
    if (!m_encoding.IsUtf8()) {
        SplitCommaText(m_line, m_fields, RecordFieldCount);
        return BuildRecord(m_fields, record);
    }
    SplitUtf8CommaText(m_line, m_fields, RecordFieldCount);
    if (m_fields.Count() < RecordFieldCount)
        return false;
    m_encoding.ConvertFields(m_fields.RawLines(), m_lineNumber);
    return BuildRecord(m_fields, record);
}
