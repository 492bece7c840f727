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
    if (IsZipFile(path))
        m_reader.Open(std::make_unique<TZipEntryReader>(path));
    else
        m_reader.Open(path);
}

bool TSourceFile::TakeRecord(TDictionaryRecord& record)
{
    // Fields after the ninth are ignored by the record, so they are not split.
    SplitCommaText(m_line, m_fields, RecordFieldCount);
    return BuildRecord(m_fields, record);
}
