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
    m_table = nullptr;
    // Opened once: a second pass rewinds this file, whatever the name
    // stands for by then.
    std::FILE* file = OpenForReading(path);
    if (IsZipFile(file))
        m_reader.Open(std::make_unique<TZipEntryReader>(path, file));
    else
        m_reader.Open(file);
    if (m_layout.Columns > 0 || m_asTable)
        m_reader.ReadStrictly(path, MaxSourceLineLength);
}

void TSourceFile::Rewind()
{
    m_reader.Rewind();
    m_records = 0;
    m_lineNumber = 0;
    m_encoding.Reset();   // decided again from the same bytes
    // The table stays: the same bytes must give the same table's rows.
}

void TSourceFile::ReadLine()
{
    m_reader.ReadLine(m_line);
    m_encoding.TakeLine(m_line, ++m_lineNumber, m_path);
}

void TSourceFile::Split(int maxFields, int columns, const TConvertedColumns& converted)
{
    if (m_encoding.IsUtf8())
        SplitUtf8CommaText(m_line, m_fields, maxFields);
    else
        SplitCommaText(m_line, m_fields, maxFields);
    if (columns > 0 && m_fields.Count() != columns)
        throw EMalformedText(m_path, m_reader.LinesRead(),
                             std::to_string(m_fields.Count()) + " columns, not " + std::to_string(columns));
    // A line too short for a record is not converted: it stores nothing.
    // No columns given: the caller converts once it knows which.
    if (m_encoding.IsUtf8() && converted.First > 0 && m_fields.Count() >= converted.Last)
        m_encoding.ConvertFields(m_fields.RawLines(), m_lineNumber, converted);
}

bool TSourceFile::TakeRecord(TDictionaryRecord& record)
{
    // Every field counts in a strict reading: a column more or less shifts
    // the record. Otherwise fields after the ninth are ignored by the
    // record, so they are not split.
    Split(m_layout.Columns > 0 ? INT_MAX : RecordFieldCount, m_layout.Columns, ZipdicTable.Converted);
    if (!BuildRecord(m_fields, record))
        return false;
    ++m_records;
    return true;
}

void TSourceFile::TakeRow(TTableRow& row)
{
    if (!m_table) {
        Split(INT_MAX, 0, {});
        m_table = TableForColumns(m_fields.Count());
        if (!m_table)
            throw EMalformedText(m_path, m_reader.LinesRead(),
                                 std::to_string(m_fields.Count()) + " columns, not " +
                                     std::to_string(ZipdicTable.SourceColumns) + " (KEN_ALL.CSV) or " +
                                     std::to_string(JigyosyoTable.SourceColumns) + " (JIGYOSYO.CSV)");
        if (m_encoding.IsUtf8())
            m_encoding.ConvertFields(m_fields.RawLines(), m_lineNumber, m_table->Converted);
    } else {
        Split(INT_MAX, m_table->SourceColumns, m_table->Converted);
    }
    m_table->BuildRow(m_fields, row);
    ++m_records;
}
