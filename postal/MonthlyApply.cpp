#include "MonthlyApply.h"

#include "DictionaryTable.h"
#include "SourceFile.h"
#include "TableLimits.h"

#include <IBSQL.h>
#include <ScopeExit.h>
#include <StopRequest.h>
#include <SysUtils.h>

#include <algorithm>
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

// Calls onRecord(record, line) for every record of the file, lines counted
// from 1. The file must be in KEN_ALL.CSV's layout. A file that cannot be
// opened or read, or a malformed line, raises ESourceUnusable; what onRecord
// raises passes unchanged. The characters stored as 〓 go to replaced when
// it is given.
template <typename F>
void ReadRecords(const std::string& path, F onRecord, TReplacements* replaced = nullptr)
{
    TSourceFile source;
    source.ReadStrictly(KenAllLayout);
    try {
        source.Open(path);
    } catch (const EInOutError& e) {
        throw Unreadable(path, e);
    }
    const TScopeExit close([&source] { source.CloseQuietly(); });
    TDictionaryRecord record;
    for (long line = 1;; ++line) {
        bool gave = false;
        try {
            if (source.Eof())
                break;
            source.ReadLine();
            gave = source.TakeRecord(record);
        } catch (const EInOutError& e) {
            throw Unreadable(path, e);
        } catch (const EMalformedText& e) {
            throw ESourceUnusable(e.Message());
        }
        ThrowIfStopRequested();
        if (gave)
            onRecord(record, line);
    }
    if (replaced)
        *replaced = source.Replacements();
}

// A file that gives no record is no month's file (a failed download).
void RequireRecords(const std::string& path, long records)
{
    if (!path.empty() && records == 0)
        throw ESourceUnusable(path + ": no line gives a record");
}

// A file's records as read, each with its line.
struct TFileRecords {
    std::vector<TDictionaryRecord> Records;
    std::vector<long> Lines;
};

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

// A record's key: an empty slot is stored as NULL.
std::string RecordKey(const TDictionaryRecord& record)
{
    std::string key;
    for (const std::string& value : record.Slots)
        AddToKey(key, value.empty() ? nullptr : value.data(), value.size());
    return key;
}

// What one scan of ZIPDIC finds for the month's records.
struct TScan {
    long Rows = 0;
    std::vector<std::string> Keys;   // RDB$DB_KEY of the rows the delete records take
    std::vector<long> Unmatched;     // lines of the delete records that take none
    bool AddsPresent = true;         // every add record has a row equal to it
};

// One pass over ZIPDIC's rows in the transaction (the table has no index, so
// a search per record would read it once per record). Equal records form a
// multiset: n equal delete records take at most n equal rows (when there are
// fewer, the records first in the file take them); an add record given n
// times is present when n rows equal it. An add record whose postal code is
// longer than the ZIP column is left out: the server refuses it every time.
// Keeps the records' keys and the keys of the rows taken, never the table.
TScan ScanTable(TIBDatabase& database, TIBTransaction& transaction, const TFileRecords& deletes,
                const TFileRecords& adds, int zipWidth)
{
    struct TWanted {
        long Deletes = 0;
        long Taken = 0;
        long Adds = 0;
        long Seen = 0;
    };
    std::unordered_map<std::string, TWanted> wanted;
    std::vector<TWanted*> deleteOf;   // per delete record
    deleteOf.reserve(deletes.Records.size());
    for (const TDictionaryRecord& record : deletes.Records) {
        TWanted& w = wanted[RecordKey(record)];
        ++w.Deletes;
        deleteOf.push_back(&w);   // unordered_map never moves its elements
    }
    long missing = 0;
    for (const TDictionaryRecord& record : adds.Records)
        if (record.Slots[rsZip].size() <= static_cast<std::size_t>(zipWidth)) {
            ++wanted[RecordKey(record)].Adds;
            ++missing;
        }

    TScan scan;
    auto rows = NewStatement(database, transaction,
                             "SELECT RDB$DB_KEY, ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC", false);
    rows->SetGoToFirstRecordOnExecute(false);
    rows->ExecQuery();
    std::string key;
    std::string text;
    while (TIBXSQLDA* row = rows->Fetch()) {
        ThrowIfStopRequested();
        ++scan.Rows;
        key.clear();
        for (int k = 0; k < rsCount; ++k) {
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

// EXECUTE BLOCK deleting the rows of `rows` row keys, given as positional
// parameters in the raw bytes the scan read.
std::string DeleteBlockText(int rows)
{
    std::string text = "EXECUTE BLOCK (";
    for (int r = 0; r < rows; ++r)
        text += (r ? ",K" : "K") + IntToStr(r) + " CHAR(8) CHARACTER SET OCTETS = ?";
    text += ")\r\nAS BEGIN\r\n";
    for (int r = 0; r < rows; ++r)
        text += "DELETE FROM ZIPDIC WHERE RDB$DB_KEY = :K" + IntToStr(r) + ";\r\n";
    return text + "END";
}

// Deletes the rows of the keys, a block at a time, through one prepared
// block: the last is filled up with its last key again, whose second DELETE
// finds its row gone. Progress is rpStoring, the rows deleted so far of
// total.
void DeleteRows(TIBDatabase& database, TIBTransaction& transaction, const std::vector<std::string>& keys,
                RefreshView& view, long total)
{
    if (keys.empty())
        return;
    const std::size_t rows = std::min<std::size_t>(kRowsPerBlock, keys.size());
    auto block = NewStatement(database, transaction, DeleteBlockText(static_cast<int>(rows)), true);
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

TApplyReport TMonthlyApply::Run(const TApplyFiles& files, bool dryRun, RefreshView& view)
{
    TApplyReport report;
    report.DryRun = dryRun;

    // Both files whole first: a file that cannot be read changes nothing,
    // and the rows stored are the bytes read here, whatever the files hold
    // later.
    long read = 0;
    const auto readInto = [&](const std::string& path, TFileRecords& into, TReplacements* replaced) {
        if (path.empty())
            return;
        ReadRecords(
            path,
            [&](const TDictionaryRecord& record, long line) {
                into.Records.push_back(record);
                into.Lines.push_back(line);
                view.Progress(rpMeasuring, ++read, 0);
            },
            replaced);
    };
    TFileRecords deletes;
    TFileRecords adds;
    readInto(files.DeletePath, deletes, &report.DeleteReplaced);
    readInto(files.AddPath, adds, &report.AddReplaced);
    report.DeleteRecords = static_cast<long>(deletes.Records.size());
    report.AddRecords = static_cast<long>(adds.Records.size());
    TColumnWidths measured{};
    for (const TDictionaryRecord& record : adds.Records)
        WidenColumns(measured, record.Slots);
    RequireRecords(files.DeletePath, report.DeleteRecords);
    RequireRecords(files.AddPath, report.AddRecords);

    const TShape shape = ReadShape(m_database);
    if (!shape.Exists)
        throw ETableMissing("there is no table ZIPDIC in " + m_database.DatabaseName() +
                            " to apply differences to: run \"kx27 refresh\" with the whole KEN_ALL.CSV first");
    TTableWidths wanted = TableWidths(measured);
    for (std::size_t k = 0; k < wanted.size(); ++k)
        wanted[k] = std::max(wanted[k], shape.Widths[k]);   // never narrower
    for (int k = 0; k < rsCount; ++k)
        if (shape.Widths[k] < wanted[k])
            report.WidenedColumns.push_back(kColumnNames[k]);
    if (!report.WidenedColumns.empty()) {
        TColumnWidths address;
        std::copy(wanted.begin() + 1, wanted.end(), address.begin());
        if (!TableFits(address))
            throw ESourceUnusable(files.AddPath + ": its records need columns wider than the server takes");
        if (!dryRun) {
            TRefreshReport widening;
            ApplyWidths(m_database, shape, wanted, widening);
        }
    }
    // The widths the rows' statements meet: a dry run has widened nothing.
    const TTableWidths& widths = dryRun ? shape.Widths : wanted;

    auto transaction = NewTransaction(m_database, kReservingParams);
    StartReserving(*transaction);
    TTransactionGuard guard(*transaction);
    const TScan scan = ScanTable(m_database, *transaction, deletes, adds, shape.Widths[rsZip]);
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
    DeleteRows(m_database, *transaction, scan.Keys, view, total);
    report.Deleted = static_cast<long>(scan.Keys.size());
    if (report.DeleteRecords > report.Deleted)
        view.Progress(rpStoring, report.DeleteRecords, total);   // the unmatched ones are done too

    if (!adds.Records.empty()) {
        TStoringView storing(view, report.DeleteRecords, total);
        TRefreshReport inserts;
        TInsertPass(m_database, *transaction, widths, report.AddRecords, storing, inserts, kRowsPerBlock)
            .Run(adds.Records, adds.Lines);
        report.Inserted = inserts.Inserted;
        report.Refused = std::move(inserts.Refused);
        if (dryRun && !report.WidenedColumns.empty()) {
            // Refused only for want of the widening the run would make.
            std::set<long> lines;
            for (std::size_t i = 0; i < adds.Records.size(); ++i)
                if (!RecordFits(adds.Records[i], widths) && RecordFits(adds.Records[i], wanted))
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
