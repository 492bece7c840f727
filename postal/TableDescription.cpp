#include "TableDescription.h"

#include "DictionaryRecord.h"

#include <SysUtils.h>

#include <algorithm>
#include <climits>
#include <span>

namespace {

void BuildAddressRow(const TStringList& fields, TTableRow& row)
{
    row.resize(rsCount);
    BuildRecord(fields, std::span<std::string, rsCount>(row.data(), rsCount));
}

// An office's values are the file's bytes as the split leaves them: the
// quotes gone, a leading blank inside them kept.
void BuildOfficeRow(const TStringList& fields, TTableRow& row)
{
    const std::vector<TColumnDescription>& columns = JigyosyoTable.Columns;
    row.resize(columns.size());
    const std::vector<std::string>& f = fields.Lines();
    for (std::size_t k = 0; k < columns.size(); ++k)
        row[k].assign(f[static_cast<std::size_t>(columns[k].SourceColumn - 1)]);
}

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
// in whole 32-bit words (4 bytes for up to 32 columns); then each column in
// the order of the table, at an offset aligned to its type (2 for a VARCHAR
// and a SMALLINT), taking its width plus the 2-byte length word, or the
// SMALLINT's 2 bytes. Nothing pads the row's end.
constexpr long long MaxRecordLength = 65535;
constexpr long long LengthWordBytes = 2;
constexpr long long SmallintBytes = 2;

long long RecordLength(const TTableDescription& table, const TTableWidths& widths)
{
    long long offset = (table.ColumnCount() + 31) / 32 * 4;
    for (int k = 0; k < table.ColumnCount(); ++k) {
        offset += offset % 2;
        offset += table.Columns[static_cast<std::size_t>(k)].Kind == ckText
                      ? widths[static_cast<std::size_t>(k)] + LengthWordBytes
                      : SmallintBytes;
    }
    return offset;
}

constexpr int kMaxBlockContexts = 256;
constexpr std::size_t kBlockRequestBudget = 8u << 20;   // under the server's 10 MiB, with room to spare

std::string ColumnType(const TColumnDescription& column, int width)
{
    if (column.Kind == ckSmallint)
        return "SMALLINT";
    return "VARCHAR(" + IntToStr(width) + ") CHARACTER SET NONE";
}

std::string ColumnList(const TTableDescription& table)
{
    std::string text;
    for (const TColumnDescription& column : table.Columns)
        text += std::string(text.empty() ? "" : ", ") + column.Name;
    return text;
}

// A block parameter's name: a letter per column and the row's number.
std::string ParameterName(int column, int row)
{
    return static_cast<char>('A' + column) + IntToStr(row);
}

} // namespace

const TTableDescription ZipdicTable{
    "ZIPDIC",
    15,
    {
        {"ZIP", 3, ckText, 7},
        {"ADK1", 4, ckText, 0},
        {"ADK2", 5, ckText, 0},
        {"ADK3", 6, ckText, 0},
        {"ADR1", 7, ckText, 0},
        {"ADR2", 8, ckText, 0},
        {"ADR3", 9, ckText, 0},
    },
    {3, 9, 4, 6},
    BuildAddressRow,
    "run \"kx27 refresh\" with the whole KEN_ALL.CSV first",
};

const TTableDescription JigyosyoTable{
    "JIGYOSYO",
    13,
    {
        {"ZIP", 8, ckText, 7},
        {"JISCODE", 1, ckText, 5},
        {"NAMEK", 2, ckText, 0},
        {"NAME", 3, ckText, 0},
        {"ADR1", 4, ckText, 0},
        {"ADR2", 5, ckText, 0},
        {"ADR3", 6, ckText, 0},
        {"ADR4", 7, ckText, 0},
        {"POSTOFFICE", 10, ckText, 0},
        {"KIND", 11, ckSmallint, 0},
        {"MULTI", 12, ckSmallint, 0},
    },
    {2, 10, 2, 2},
    BuildOfficeRow,
    "run \"kx27 refresh jigyosyo.zip\" first",
};

const TTableDescription* TableForColumns(int columns)
{
    for (const TTableDescription* table : {&ZipdicTable, &JigyosyoTable})
        if (table->SourceColumns == columns)
            return table;
    return nullptr;
}

TTableWidths FileWidths(const TTableDescription& table)
{
    TTableWidths widths;
    for (const TColumnDescription& column : table.Columns)
        widths.push_back(column.FixedWidth);
    return widths;
}

void WidenTo(const TTableDescription& table, TTableWidths& widths, const TTableRow& row)
{
    for (std::size_t k = 0; k < table.Columns.size(); ++k) {
        const TColumnDescription& column = table.Columns[k];
        if (column.Kind != ckText || column.FixedWidth > 0)
            continue;
        const std::size_t length = row[k].size();
        if (length > static_cast<std::size_t>(widths[k]))
            widths[k] = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    }
}

bool RowFits(const TTableDescription& table, const TTableRow& row, const TTableWidths& widths)
{
    for (std::size_t k = 0; k < table.Columns.size(); ++k)
        if (table.Columns[k].Kind == ckText && row[k].size() > static_cast<std::size_t>(widths[k]))
            return false;
    return true;
}

bool TableFits(const TTableDescription& table, const TTableWidths& widths)
{
    for (std::size_t k = 0; k < table.Columns.size(); ++k)
        if (table.Columns[k].Kind == ckText && widths[k] > MaxVarcharWidth)
            return false;
    return RecordLength(table, widths) <= MaxRecordLength;
}

std::string WidthList(const TTableDescription& table, const TTableWidths& widths)
{
    std::string text;
    for (std::size_t k = 0; k < table.Columns.size(); ++k)
        if (table.Columns[k].Kind == ckText)
            text += std::string(text.empty() ? "" : ", ") + table.Columns[k].Name + " " + IntToStr(widths[k]);
    return text;
}

int RowsPerBlock(const TTableDescription& table, const TTableWidths& widths)
{
    // A parameter takes its width (a SMALLINT's 2), a VARCHAR's length word
    // and its NULL flag, aligned; 8 bytes over the width covers the rest.
    std::size_t row = 0;
    for (std::size_t k = 0; k < table.Columns.size(); ++k)
        row += (table.Columns[k].Kind == ckText ? static_cast<std::size_t>(std::max(widths[k], 0)) : 2) + 8;
    const std::size_t rows = kBlockRequestBudget / row;
    return static_cast<int>(std::clamp<std::size_t>(rows, 1, kMaxBlockContexts));
}

std::string CreateText(const TTableDescription& table, const TTableWidths& widths)
{
    std::string text = std::string("CREATE TABLE ") + table.Name + " (";
    for (std::size_t k = 0; k < table.Columns.size(); ++k)
        text += std::string(k ? ", " : "") + table.Columns[k].Name + " " + ColumnType(table.Columns[k], widths[k]);
    return text + ")";
}

std::string WidenText(const TTableDescription& table, int column, int width)
{
    const TColumnDescription& c = table.Columns[static_cast<std::size_t>(column)];
    return std::string("ALTER TABLE ") + table.Name + " ALTER COLUMN " + c.Name + " TYPE " + ColumnType(c, width);
}

std::string BlockText(const TTableDescription& table, const TTableWidths& widths, int rows)
{
    const int columns = table.ColumnCount();
    std::string text = "EXECUTE BLOCK (";
    for (int r = 0; r < rows; ++r)
        for (int k = 0; k < columns; ++k)
            text += (r || k ? "," : "") + ParameterName(k, r) + " " +
                    ColumnType(table.Columns[static_cast<std::size_t>(k)], widths[static_cast<std::size_t>(k)]) +
                    " = ?";
    text += ")\r\nAS BEGIN\r\n";
    const std::string insert = std::string("INSERT INTO ") + table.Name + " (" + ColumnList(table) + ") VALUES (";
    for (int r = 0; r < rows; ++r) {
        text += insert;
        for (int k = 0; k < columns; ++k)
            text += (k ? ", :" : ":") + ParameterName(k, r);
        text += ");\r\n";
    }
    return text + "END";
}

std::string RowInsertText(const TTableDescription& table)
{
    std::string marks;
    for (int k = 0; k < table.ColumnCount(); ++k)
        marks += k ? ", ?" : "?";
    return std::string("INSERT INTO ") + table.Name + " (" + ColumnList(table) + ") VALUES (" + marks + ")";
}

std::string DeleteAllText(const TTableDescription& table)
{
    return std::string("DELETE FROM ") + table.Name;
}

std::string CountText(const TTableDescription& table)
{
    return std::string("SELECT COUNT(*) FROM ") + table.Name;
}

std::string ScanText(const TTableDescription& table)
{
    return "SELECT RDB$DB_KEY, " + ColumnList(table) + " FROM " + table.Name;
}

std::string DeleteBlockText(const TTableDescription& table, int rows)
{
    std::string text = "EXECUTE BLOCK (";
    for (int r = 0; r < rows; ++r)
        text += (r ? ",K" : "K") + IntToStr(r) + " CHAR(8) CHARACTER SET OCTETS = ?";
    text += ")\r\nAS BEGIN\r\n";
    for (int r = 0; r < rows; ++r)
        text += std::string("DELETE FROM ") + table.Name + " WHERE RDB$DB_KEY = :K" + IntToStr(r) + ";\r\n";
    return text + "END";
}

std::string ShapeText(const TTableDescription& table)
{
    return "SELECT TRIM(RF.RDB$FIELD_NAME), F.RDB$FIELD_TYPE, F.RDB$FIELD_LENGTH, COALESCE(F.RDB$CHARACTER_SET_ID, 0),"
           " CASE WHEN R.RDB$VIEW_BLR IS NULL AND COALESCE(R.RDB$RELATION_TYPE, 0) = 0 AND F.RDB$COMPUTED_BLR IS NULL"
           " AND COALESCE(RF.RDB$NULL_FLAG, 0) = 0 AND COALESCE(F.RDB$NULL_FLAG, 0) = 0"
           " AND COALESCE(F.RDB$FIELD_SCALE, 0) = 0 THEN 1 ELSE 0 END"
           " FROM RDB$RELATIONS R"
           " LEFT JOIN RDB$RELATION_FIELDS RF ON RF.RDB$RELATION_NAME = R.RDB$RELATION_NAME"
           " LEFT JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE"
           " WHERE R.RDB$RELATION_NAME = " + QuotedStr(table.Name) + " ORDER BY RF.RDB$FIELD_POSITION";
}

std::string SearchText(const TTableDescription& table, const std::string& typed)
{
    return std::string("SELECT * FROM ") + table.Name + " WHERE ZIP LIKE " + QuotedStr(typed + "%") + ";";
}

std::vector<std::string> ReservingParams(const TTableDescription& table)
{
    return {"concurrency", "write", "nowait", std::string("lock_write=") + table.Name, "protected"};
}
