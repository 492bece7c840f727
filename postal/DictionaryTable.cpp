#include "DictionaryTable.h"

#include "Refresh.h"

#include <SysUtils.h>

#include <algorithm>

const char* const DictionaryColumns[rsCount] = {"ZIP", "ADK1", "ADK2", "ADK3", "ADR1", "ADR2", "ADR3"};

namespace {

constexpr int ZipWidth = 7;
constexpr int VarcharType = 37;   // RDB$FIELD_TYPE of VARCHAR
constexpr int CharsetNone = 0;

const char* const ShapeQuery =
    "SELECT TRIM(RF.RDB$FIELD_NAME), F.RDB$FIELD_TYPE, F.RDB$FIELD_LENGTH, COALESCE(F.RDB$CHARACTER_SET_ID, 0) "
    "FROM RDB$RELATION_FIELDS RF JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE "
    "WHERE RF.RDB$RELATION_NAME = 'ZIPDIC' ORDER BY RF.RDB$FIELD_POSITION";

const std::string ShapeRefused =
    "ZIPDIC is not the table kx27 makes (the seven VARCHAR columns ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 of "
    "character set NONE): ";

void Link(TIBSQL& sql, TIBDatabase& database, TIBTransaction& transaction)
{
    sql.SetDatabase(&database);
    sql.SetTransaction(&transaction);
    sql.SetParamCheck(false);
    sql.SetPositionalParams(true);   // the texts' parameters are "?" alone
}

} // namespace

TTableShape ReadTableShape(TIBDatabase& database, TIBTransaction& transaction)
{
    TIBSQL sql;
    Link(sql, database, transaction);
    sql.SQL().Add(ShapeQuery);
    sql.ExecQuery();
    TTableShape shape;
    int column = 0;
    for (; !sql.Eof(); sql.Fetch(), ++column) {
        shape.Exists = true;
        const std::string name = sql.Column(0).AsTrimmedText();
        if (column >= rsCount)
            throw ETableShape(ShapeRefused + "it has the further column " + name);
        if (name != DictionaryColumns[column])
            throw ETableShape(ShapeRefused + "its column " + IntToStr(column + 1) + " is " + name);
        if (sql.Column(1).AsLong() != VarcharType || sql.Column(3).AsLong() != CharsetNone)
            throw ETableShape(ShapeRefused + "its column " + name + " is of another type");
        shape.Widths[column] = sql.Column(2).AsLong();
    }
    sql.Close();
    if (shape.Exists && column < rsCount)
        throw ETableShape(ShapeRefused + "it has " + IntToStr(column) + " columns");
    return shape;
}

TTableWidths WantedWidths(const TTableShape& shape, const TColumnWidths& measured)
{
    TTableWidths wanted = shape.Widths;
    wanted[rsZip] = std::max(wanted[rsZip], ZipWidth);
    for (std::size_t k = 0; k < measured.size(); ++k)
        wanted[k + rsAdk1] = std::max(wanted[k + rsAdk1], measured[k]);
    return wanted;
}

std::vector<std::string> ColumnsToWiden(const TTableShape& shape, const TTableWidths& wanted)
{
    std::vector<std::string> columns;
    for (int k = 0; k < rsCount; ++k)
        if (shape.Widths[k] < wanted[k])
            columns.push_back(DictionaryColumns[k]);
    return columns;
}

void WidenTable(TIBDatabase& database, const TTableShape& shape, const TTableWidths& wanted)
{
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    transaction.StartTransaction();
    try {
        TIBSQL sql;
        Link(sql, database, transaction);
        for (int k = 0; k < rsCount; ++k) {
            if (shape.Widths[k] >= wanted[k])
                continue;
            sql.SQL().Clear();
            sql.SQL().Add(std::string("ALTER TABLE ZIPDIC ALTER COLUMN ") + DictionaryColumns[k] + " TYPE VARCHAR(" +
                          IntToStr(wanted[k]) + ")");
            sql.ExecQuery();
        }
        transaction.Commit();
    } catch (...) {
        if (transaction.Active())
            transaction.FinishTransaction(TARollback, true);
        throw;
    }
}

bool RecordFits(const TDictionaryRecord& record, const TTableWidths& widths)
{
    for (int k = 0; k < rsCount; ++k)
        if (record.Slots[k].size() > static_cast<std::size_t>(widths[k]))
            return false;
    return true;
}

void BindRecord(TIBSQL& sql, const TDictionaryRecord& record)
{
    TIBXSQLDA& params = sql.InputArea();
    for (int k = 0; k < rsCount; ++k) {
        const std::string& slot = record.Slots[k];
        params[k].AssignBytes(slot.empty() ? nullptr : slot.data(), slot.size());
    }
}

long CountDictionaryRows(TIBDatabase& database, TIBTransaction& transaction)
{
    TIBSQL sql;
    Link(sql, database, transaction);
    sql.SQL().Add("SELECT COUNT(*) FROM ZIPDIC");
    sql.ExecQuery();
    const long count = static_cast<long>(sql.Column(0).AsInt64());
    sql.Close();
    return count;
}
