#include "TableLimits.h"

#include <algorithm>

TTableWidths ZipdicWidths(const TColumnWidths& widths)
{
    TTableWidths table = FileWidths(ZipdicTable);
    std::copy(widths.begin(), widths.end(), table.begin() + 1);
    return table;
}

bool TableFits(const TColumnWidths& widths)
{
    return TableFits(ZipdicTable, ZipdicWidths(widths));
}
