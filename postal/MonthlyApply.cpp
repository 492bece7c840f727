#include "MonthlyApply.h"

#include "DictionaryTable.h"
#include "SourceFile.h"
#include "TableLimits.h"

#include <IBSQL.h>
#include <ScopeExit.h>
#include <StopRequest.h>
#include <SysUtils.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Rows per block of deletes and of inserts. A month's few thousand rows go
// in small blocks: preparing a block costs far more than running it, and
// the refresh's blocks of up to 256 rows would spend most of an apply being
// prepared (measured on Firebird 3, embedded: 380 inserts in blocks of 256
// and 124 rows, 0.25 s; in blocks of 32, 0.02 s).
constexpr int kRowsPerBlock = 32;

ESourceUnusable Unreadable(const std::string& path, const Exception& e)
{
    return ESourceUnusable("cannot read " + path + ": " + e.Message());
}

// The file's rows, whole, in either table's layout, and the table its layout
// tells; progress counts on from read. A file that cannot be opened or
// read, or a malformed line, raises ESourceUnusable; one that gives no row
// too: it is no month's file (a failed download). The characters stored as
// 〓 go to replaced.
const TTableDescription* ReadRows(const std::string& path, TFileRows& file, RefreshView& view, long& read,
                                  TReplacements& replaced)
{
    if (path.empty())
        return nullptr;
    TSourceFile source;
    source.ReadStrictlyAsTable();
    const TScopeExit close([&source] { source.CloseQuietly(); });
    try {
        source.Open(path);
        ForEachRow(source, [&](const TTableRow& row, long line) {
            file.Rows.push_back(row);
            file.Lines.push_back(line);
            view.Progress(rpMeasuring, ++read, 0);
        });
    } catch (const EMalformedText& e) {
        throw ESourceUnusable(e.Message());
    } catch (const Exception& e) {
        throw Unreadable(path, e);
    }
    if (file.Rows.empty())
        throw ESourceUnusable(path + ": no line gives a record");
    replaced = source.Replacements();
    return source.Table();
}

// Appends one value to a row's key: NULL (data nullptr) apart from every
// text, and trailing blanks left out, since the server compares VARCHARs of
// character set NONE so ('T' = 'T  '). A blank is never the second byte of
// a CP932 character.
void AddToKey(std::string& key, const char* data, std::size_t length)
{
    if (!data) {
        key += '\xFF';
        return;
    }
    while (length > 0 && data[length - 1] == ' ')
        --length;
    key += '\x01';
    key += IntToStr(static_cast<long long>(length));
    key += ':';
    key.append(data, length);
}

// A SMALLINT's digits as the server reads them ("007" is 7), so that a
// record's key meets its row's; other text stays as it is and meets none.
std::string SmallintKey(const std::string& text)
{
    const std::string trimmed = Trim(text);
    int value = 0;
    const char* end = trimmed.data() + trimmed.size();
    const auto [at, error] = std::from_chars(trimmed.data(), end, value);
    return error == std::errc() && at == end ? std::to_string(value) : text;
}

// A file row's key: an empty value is stored as NULL.
std::string RowKey(const TTableDescription& table, const TTableRow& row)
{
    std::string key;
    for (std::size_t k = 0; k < row.size(); ++k) {
        const std::string& value = row[k];
        if (value.empty()) {
            AddToKey(key, nullptr, 0);
        } else if (table.Columns[k].Kind == ckSmallint) {
            const std::string number = SmallintKey(value);
            AddToKey(key, number.data(), number.size());
        } else {
            AddToKey(key, value.data(), value.size());
        }
    }
    return key;
}

// What one scan of the table finds for the month's records.
struct TScan {
    long Rows = 0;
    std::vector<std::string> Keys;   // RDB$DB_KEY of the rows the delete records take
    std::vector<long> Unmatched;     // lines of the delete records that take none
    bool AddsPresent = true;         // every add record has a row equal to it
};

// One pass over the table's rows in the transaction (the table has no index, so
// a search per record would read it once per record). Equal records form a
// multiset: n equal delete records take at most n equal rows (when there are
// fewer, the records first in the file take them); an add record given n
// times is present when n rows equal it. An add record longer than a column
// at the widths the run gives the table is left out: the server refuses it
// every time.
// Keeps the records' keys and the keys of the rows taken, never the table.
TScan ScanTable(TIBDatabase& database, TIBTransaction& transaction, const TTableDescription& table,
                const TFileRows& deletes, const TFileRows& adds, const TTableWidths& widths)
{
    struct TWanted {
        long Deletes = 0;
        long Taken = 0;
        long Adds = 0;
        long Seen = 0;
    };
    std::unordered_map<std::string, TWanted> wanted;
    std::vector<TWanted*> deleteOf;   // per delete record
    deleteOf.reserve(deletes.Rows.size());
    for (const TTableRow& row : deletes.Rows) {
        TWanted& w = wanted[RowKey(table, row)];
        ++w.Deletes;
        deleteOf.push_back(&w);   // unordered_map never moves its elements
    }
    long missing = 0;
    for (const TTableRow& row : adds.Rows)
        if (RowFits(table, row, widths)) {
            ++wanted[RowKey(table, row)].Adds;
            ++missing;
        }

    TScan scan;
    auto rows = NewStatement(database, transaction, ScanText(table), false);
    rows->SetGoToFirstRecordOnExecute(false);
    rows->ExecQuery();
    std::string key;
    std::string text;
    while (TIBXSQLDA* row = rows->Fetch()) {
        ThrowIfStopRequested();
        ++scan.Rows;
        key.clear();
        for (int k = 0; k < table.ColumnCount(); ++k) {
            const TIBXSQLVAR& value = (*row)[k + 1];
            if (value.IsNull()) {
                AddToKey(key, nullptr, 0);
            } else {
                text = value.AsText();
                AddToKey(key, text.data(), text.size());
            }
        }
        const auto found = wanted.find(key);
        if (found == wanted.end())
            continue;
        TWanted& w = found->second;
        if (w.Taken < w.Deletes) {
            ++w.Taken;
            scan.Keys.push_back((*row)[0].AsText());
        }
        if (w.Seen < w.Adds) {
            ++w.Seen;
            --missing;
        }
    }
    rows->Close();
    scan.AddsPresent = missing == 0;
    for (std::size_t i = 0; i < deleteOf.size(); ++i) {
        TWanted& w = *deleteOf[i];
        if (w.Taken > 0)
            --w.Taken;
        else
            scan.Unmatched.push_back(deletes.Lines[i]);
    }
    return scan;
}

// Deletes the rows of the keys, a block at a time, through one prepared
// block: the last is filled up with its last key again, whose second DELETE
// finds its row gone. Progress is rpStoring, the rows deleted so far of
// total.
void DeleteRows(TIBDatabase& database, TIBTransaction& transaction, const TTableDescription& table,
                const std::vector<std::string>& keys, RefreshView& view, long total)
{
    if (keys.empty())
        return;
    const std::size_t rows = std::min<std::size_t>(kRowsPerBlock, keys.size());
    auto block = NewStatement(database, transaction, DeleteBlockText(table, static_cast<int>(rows)), true);
    block->Prepare();
    TIBXSQLDA& input = block->InputArea();
    for (std::size_t from = 0; from < keys.size(); from += rows) {
        ThrowIfStopRequested();
        for (std::size_t r = 0; r < rows; ++r) {
            const std::string& key = keys[std::min(from + r, keys.size() - 1)];
            input[static_cast<int>(r)].AssignBytes(key.data(), key.size());
        }
        block->ExecPrepared();
        view.Progress(rpStoring, static_cast<long>(std::min(from + rows, keys.size())), total);
    }
}

// The insert pass's progress after the deletes' in one count.
class TStoringView : public RefreshView {
public:
    TStoringView(RefreshView& view, long before, long total) : m_view(view), m_before(before), m_total(total) {}
    void Progress(TRefreshPhase phase, long done, long) override { m_view.Progress(phase, m_before + done, m_total); }

private:
    RefreshView& m_view;
    const long m_before;
    const long m_total;
};

} // namespace

TMonthlyApply::TMonthlyApply(TIBDatabase& database) : m_database(database) {}

TMonthRows ReadMonth(const TApplyFiles& files, RefreshView& view)
{
    TMonthRows month;
    month.Files = files;
    long read = 0;
    const TTableDescription* deletes = ReadRows(files.DeletePath, month.Deletes, view, read, month.DeleteReplaced);
    const TTableDescription* adds = ReadRows(files.AddPath, month.Adds, view, read, month.AddReplaced);
    if (deletes && adds && deletes != adds)
        throw ELayoutsDiffer(files.DeletePath + " holds " + deletes->Name + " records and " + files.AddPath +
                             " holds " + adds->Name + " records: give the two files of one month");
    month.Table = deletes ? deletes : adds;
    return month;
}

TApplyReport TMonthlyApply::Run(const TMonthRows& month, bool dryRun, RefreshView& view)
{
    const TApplyFiles& files = month.Files;
    const TFileRows& deletes = month.Deletes;
    const TFileRows& adds = month.Adds;
    const TTableDescription& table = *month.Table;
    TApplyReport report;
    report.DryRun = dryRun;
    report.Table = &table;
    report.DeleteReplaced = month.DeleteReplaced;
    report.AddReplaced = month.AddReplaced;
    report.DeleteRecords = static_cast<long>(deletes.Rows.size());
    report.AddRecords = static_cast<long>(adds.Rows.size());
    TTableWidths measured = FileWidths(table);
    for (const TTableRow& row : adds.Rows)
        WidenTo(table, measured, row);

    const TShape shape = ReadShape(m_database, table);
    if (!shape.Exists)
        throw ETableMissing(std::string("there is no table ") + table.Name + " in " + m_database.DatabaseName() +
                            " to apply differences to: " + table.MakeItHint);
    TTableWidths wanted = measured;
    for (std::size_t k = 0; k < wanted.size(); ++k)
        wanted[k] = std::max(wanted[k], shape.Widths[k]);   // never narrower
    for (std::size_t k = 0; k < wanted.size(); ++k)
        if (shape.Widths[k] < wanted[k])
            report.WidenedColumns.push_back(table.Columns[k].Name);
    if (!report.WidenedColumns.empty()) {
        if (!TableFits(table, wanted))
            throw ESourceUnusable(files.AddPath + ": its records need columns wider than the server takes");
        if (!dryRun)
            ApplyWidths(m_database, table, shape, wanted);
    }
    // The widths the rows' statements meet: a dry run has widened nothing.
    const TTableWidths& widths = dryRun ? shape.Widths : wanted;

    auto transaction = NewTransaction(m_database, ReservingParams(table));
    StartReserving(*transaction, table);
    TTransactionGuard guard(*transaction);
    const TScan scan = ScanTable(m_database, *transaction, table, deletes, adds, wanted);
    report.RowsBefore = scan.Rows;
    report.Unmatched = scan.Unmatched;
    // Decided before anything is deleted. A record wider than its column
    // has no equal row, so a widening means the month is not there yet.
    if (scan.Keys.empty() && report.WidenedColumns.empty() && scan.AddsPresent) {
        guard.Rollback();
        report.AlreadyApplied = true;
        report.RowsAfter = report.RowsBefore;
        return report;
    }

    const long total = report.DeleteRecords + report.AddRecords;
    DeleteRows(m_database, *transaction, table, scan.Keys, view, total);
    report.Deleted = static_cast<long>(scan.Keys.size());
    if (report.DeleteRecords > report.Deleted)
        view.Progress(rpStoring, report.DeleteRecords, total);   // the unmatched ones are done too

    if (!adds.Rows.empty()) {
        TStoringView storing(view, report.DeleteRecords, total);
        TInsertCounts inserts;
        TInsertPass(m_database, *transaction, table, widths, report.AddRecords, storing, inserts, kRowsPerBlock)
            .Run(adds.Rows, adds.Lines);
        report.Inserted = inserts.Inserted;
        report.Refused = std::move(inserts.Refused);
        if (dryRun && !report.WidenedColumns.empty()) {
            // Refused only for want of the widening the run would make.
            std::set<long> lines;
            for (std::size_t i = 0; i < adds.Rows.size(); ++i)
                if (!RowFits(table, adds.Rows[i], widths) && RowFits(table, adds.Rows[i], wanted))
                    lines.insert(adds.Lines[i]);
            const auto before = report.Refused.size();
            std::erase_if(report.Refused, [&lines](const TRefusedRecord& r) { return lines.count(r.Line) > 0; });
            report.Inserted += static_cast<long>(before - report.Refused.size());
        }
    }

    // The transaction reserves the table: no other one changed it, and
    // every key deleted its row.
    report.RowsAfter = report.RowsBefore - report.Deleted + report.Inserted;
    if (dryRun)
        guard.Rollback();
    else
        guard.Commit();
    return report;
}
