#include "TableLimits.h"

namespace {

// The limits are the Firebird 3 engine's own, for a database whose default
// character set is NONE (CREATE DATABASE names none), so that a VARCHAR's
// width is its byte length.
//
// A column's stored value is at most 32,767 bytes (MAX_COLUMN_SIZE in the
// engine's source); a VARCHAR keeps a 2-byte length word in front of its
// bytes, so it is declared at most 32,765 wide (MAX_VARY_COLUMN_SIZE). Wider
// is refused when the statement is prepared: "Implementation limit exceeded"
// up to 32,767, and "Short integer expected" above, where the declared width
// no longer fits the parser's signed 16-bit number.
constexpr long long MaxVarcharWidth = 32765;

// A record format may be at most 65,535 bytes (MAX_RECORD_SIZE). The engine
// lays the row out when the CREATE or ALTER is committed, and refuses a larger
// one with "new record size of N bytes is too big", N being the length
// computed as here: the null flags come first, one bit per column, kept
// in whole 32-bit words (4 bytes for the seven columns); then each column in
// the order of the table, at an offset aligned to its type (2 for a VARCHAR),
// taking its width plus the 2-byte length word. Nothing pads the row's end.
constexpr long long MaxRecordLength = 65535;
constexpr long long NullFlagBytes = 4;
constexpr long long ZipWidth = 7;
constexpr long long LengthWordBytes = 2;

long long RecordLength(const TColumnWidths& widths)
{
    long long offset = NullFlagBytes + ZipWidth + LengthWordBytes;
    for (const int width : widths) {
        offset += offset % 2;
        offset += width + LengthWordBytes;
    }
    return offset;
}

} // namespace

bool TableFits(const TColumnWidths& widths)
{
    for (const int width : widths)
        if (width > MaxVarcharWidth)
            return false;
    return RecordLength(widths) <= MaxRecordLength;
}
