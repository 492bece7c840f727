#include "SourceFile.h"

#include "CommaText.h"

#include <UnitV.h>

std::string SourceFilePath()
{
    return ExeFolder + "KEN_ALL.CSV";
}

bool TSourceFile::TakeRecord(TDictionaryRecord& record)
{
    // Fields after the ninth are ignored by the record, so they are not split.
    SplitCommaText(m_line, m_fields, RecordFieldCount);
    return BuildRecord(m_fields, record);
}
