#include "MonthlyApply.h"

#include "DictionaryTable.h"
#include "SourceFile.h"
#include "TableLimits.h"

#include <IBSQL.h>
#include <ScopeExit.h>
#include <SysUtils.h>

#include <unordered_map>

namespace {

const char* const DeleteText =
    "DELETE FROM ZIPDIC WHERE ZIP IS NOT DISTINCT FROM ? AND ADK1 IS NOT DISTINCT FROM ? "
    "AND ADK2 IS NOT DISTINCT FROM ? AND ADK3 IS NOT DISTINCT FROM ? AND ADR1 IS NOT DISTINCT FROM ? "
    "AND ADR2 IS NOT DISTINCT FROM ? AND ADR3 IS NOT DISTINCT FROM ? ROWS 1";
const char* const InsertText =
    "INSERT INTO ZIPDIC (ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3) VALUES (?, ?, ?, ?, ?, ?, ?)";
const char* const RowsText = "SELECT ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC";

// The server refuses a value itself (a string longer than its column, as
// the parameter's conversion -303 or the column's -802): that record is
// skipped, the others go on.
bool ValueRefused(const EIBInterBaseError& e)
{
    return e.SqlErrorCode() == -303 || e.SqlErrorCode() == -802;
}

// Calls onRecord(record, line) for every record of the file, lines counted
// from 1. A file that cannot be opened or read raises ESourceUnusable; what
// onRecord raises passes unchanged.
template <typename F>
void ReadRecords(const std::string& path, F onRecord)
{
    const auto unusable = [&path](const Exception& e, long line) {
        return ESourceUnusable(path + (line > 0 ? " line " + IntToStr(line) : std::string()) + ": " + e.Message());
    };
    TSourceFile source;
    try {
        source.Open(path);
    } catch (const ESourceUnusable&) {
        throw;
    } catch (const Exception& e) {
        throw unusable(e, 0);
    }
    const TScopeExit close([&source] { source.CloseQuietly(); });
    TDictionaryRecord record;
    for (long line = 1;; ++line) {
        try {
            if (source.Eof())
                break;
            source.ReadLine();
        } catch (const ESourceUnusable&) {
            throw;
        } catch (const Exception& e) {
            throw unusable(e, line);
        }
        if (source.TakeRecord(record))
            onRecord(record, line);
    }
}

// The seven values as one key, a NULL apart from an empty text.
template <typename Value>
std::string RowKey(Value value)
{
    std::string key;
    for (int k = 0; k < rsCount; ++k) {
        const std::string* text = value(k);
        if (!text) {
            key += '\xFF';
            continue;
        }
        key += '\x01';
        key += IntToStr(static_cast<long long>(text->size()));
        key += ':';
        key += *text;
    }
    return key;
}

std::string RecordKey(const TDictionaryRecord& record)
{
    return RowKey([&record](int k) { return record.Slots[k].empty() ? nullptr : &record.Slots[k]; });
}

void Link(TIBSQL& sql, TIBDatabase& database, TIBTransaction& transaction, const char* text)
{
    sql.SetDatabase(&database);
    sql.SetTransaction(&transaction);
    sql.SetParamCheck(false);
    sql.SetPositionalParams(true);   // the texts' parameters are "?" alone
    sql.SQL().Add(text);
    sql.Prepare();
}

// True when every record of the add file has a row equal to it, a record
// given n times n rows. A postal code longer than the ZIP column is left
// out: the server refuses that record every time. One pass over the table's
// rows rather than a search per record: the table has no index.
bool AddRecordsPresent(TIBDatabase& database, TIBTransaction& transaction, const std::string& addPath, int zipWidth)
{
    if (addPath.empty())
        return true;
    std::unordered_map<std::string, long> wanted;
    long missing = 0;
    ReadRecords(addPath, [&](const TDictionaryRecord& record, long) {
        if (record.Slots[rsZip].size() > static_cast<std::size_t>(zipWidth))
            return;
        ++wanted[RecordKey(record)];
        ++missing;
    });
    TIBSQL rows;
    Link(rows, database, transaction, RowsText);
    rows.ExecQuery();
    std::string texts[rsCount];
    for (; missing > 0 && !rows.Eof(); rows.Fetch()) {
        const std::string key = RowKey([&](int k) -> const std::string* {
            if (rows.Column(k).IsNull())
                return nullptr;
            texts[k] = rows.Column(k).AsText();
            return &texts[k];
        });
        const auto found = wanted.find(key);
        if (found != wanted.end() && found->second > 0) {
            --found->second;
            --missing;
        }
    }
    rows.Close();
    return missing == 0;
}

} // namespace

TMonthlyApply::TMonthlyApply(TIBDatabase& database) : m_database(database) {}

TApplyReport TMonthlyApply::Run(const TApplyFiles& files, bool dryRun, RefreshView& view)
{
    TApplyReport report;
    report.DryRun = dryRun;

    // Both files whole first: a file that cannot be read changes nothing.
    long read = 0;
    if (!files.DeletePath.empty())
        ReadRecords(files.DeletePath, [&](const TDictionaryRecord&, long) {
            ++report.DeleteRecords;
            view.Progress(rpMeasuring, ++read, 0);
        });
    TColumnWidths measured{};
    if (!files.AddPath.empty())
        ReadRecords(files.AddPath, [&](const TDictionaryRecord& record, long) {
            ++report.AddRecords;
            WidenColumns(measured, record.Slots);
            view.Progress(rpMeasuring, ++read, 0);
        });

    TTableShape shape;
    {
        TIBTransaction look;
        look.SetDefaultDatabase(&m_database);
        look.StartTransaction();
        shape = ReadTableShape(m_database, look);
        look.Commit();
    }
    if (!shape.Exists)
        throw ETableMissing("There is no table ZIPDIC in " + m_database.DatabaseName() +
                            " to apply differences to: run \"kx27 refresh\" with the whole KEN_ALL.CSV first.");
    const TTableWidths wanted = WantedWidths(shape, measured);
    report.WidenedColumns = ColumnsToWiden(shape, wanted);
    if (!report.WidenedColumns.empty()) {
        TColumnWidths addressWidths{};
        std::copy(wanted.begin() + rsAdk1, wanted.end(), addressWidths.begin());
        if (!TableFits(addressWidths))
            throw ESourceUnusable(files.AddPath + ": its records need columns wider than the server takes");
        if (!dryRun)
            WidenTable(m_database, shape, wanted);
    }
    // What the rows transaction's statements work with: a dry run has not
    // widened anything.
    const TTableWidths& widths = dryRun ? shape.Widths : wanted;

    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&m_database);
    transaction.StartTransaction();
    const TScopeExit rollBack([&transaction] {
        if (transaction.Active())
            transaction.FinishTransaction(TARollback, true);
    });
    report.RowsBefore = CountDictionaryRows(m_database, transaction);
    const long total = report.DeleteRecords + report.AddRecords;
    long done = 0;

    if (!files.DeletePath.empty()) {
        TIBSQL remove;
        Link(remove, m_database, transaction, DeleteText);
        ReadRecords(files.DeletePath, [&](const TDictionaryRecord& record, long line) {
            bool matched = false;
            if (RecordFits(record, widths)) {   // a longer value has no row to match
                BindRecord(remove, record);
                remove.ExecPrepared();
                matched = remove.AffectedRows() > 0;
            }
            if (matched)
                ++report.Deleted;
            else
                report.Unmatched.push_back(line);
            view.Progress(rpStoring, ++done, total);
        });
    }

    // A record wider than its column has no equal row: no need to look.
    if (report.Deleted == 0 && report.WidenedColumns.empty() &&
        AddRecordsPresent(m_database, transaction, files.AddPath, shape.Widths[rsZip])) {
        report.AlreadyApplied = true;
        report.WidenedColumns.clear();
        report.RowsAfter = report.RowsBefore;
        return report;   // rolled back on the way out
    }

    long pendingWide = 0;   // a dry run's records that fit only a widened table
    if (!files.AddPath.empty()) {
        TIBSQL insert;
        Link(insert, m_database, transaction, InsertText);
        ReadRecords(files.AddPath, [&](const TDictionaryRecord& record, long line) {
            if (!RecordFits(record, widths) && record.Slots[rsZip].size() <= static_cast<std::size_t>(widths[rsZip])) {
                // Only in a dry run: the record fits once the table is widened.
                ++pendingWide;
                ++report.Inserted;
            } else {
                BindRecord(insert, record);
                try {
                    insert.ExecPrepared();
                    ++report.Inserted;
                } catch (const EIBInterBaseError& e) {
                    if (!ValueRefused(e) || !m_database.Connected())
                        throw;
                    report.Refused.push_back({line, e.Message()});
                }
            }
            view.Progress(rpStoring, ++done, total);
        });
    }

    report.RowsAfter = CountDictionaryRows(m_database, transaction) + pendingWide;
    if (!dryRun)
        transaction.Commit();
    return report;
}
