#include "MonthlyApply.h"

#include "DictionaryTable.h"
#include "SourceFile.h"
#include "TableLimits.h"

#include <IBSQL.h>
#include <ScopeExit.h>
#include <StopRequest.h>
#include <SysUtils.h>

#include <algorithm>
#include <set>
#include <unordered_map>

namespace {

const char* const DeleteText =
    "DELETE FROM ZIPDIC WHERE ZIP IS NOT DISTINCT FROM ? AND ADK1 IS NOT DISTINCT FROM ? "
    "AND ADK2 IS NOT DISTINCT FROM ? AND ADK3 IS NOT DISTINCT FROM ? AND ADR1 IS NOT DISTINCT FROM ? "
    "AND ADR2 IS NOT DISTINCT FROM ? AND ADR3 IS NOT DISTINCT FROM ? ROWS 1";
const char* const RowsText = "SELECT ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC";

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
        ++wanted[RowKey([&record](int k) { return record.Slots[k].empty() ? nullptr : &record.Slots[k]; })];
        ++missing;
    });
    auto rows = NewStatement(database, transaction, RowsText, false);
    rows->SetGoToFirstRecordOnExecute(false);
    rows->ExecQuery();
    std::string texts[rsCount];
    while (missing > 0) {
        TIBXSQLDA* row = rows->Fetch();
        if (!row)
            break;
        const std::string key = RowKey([&](int k) -> const std::string* {
            if ((*row)[k].IsNull())
                return nullptr;
            texts[k] = (*row)[k].AsText();
            return &texts[k];
        });
        const auto found = wanted.find(key);
        if (found != wanted.end() && found->second > 0) {
            --found->second;
            --missing;
        }
    }
    rows->Close();
    return missing == 0;
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

    // Both files whole first: a file that cannot be read changes nothing.
    long read = 0;
    if (!files.DeletePath.empty())
        ReadRecords(
            files.DeletePath,
            [&](const TDictionaryRecord&, long) {
                ++report.DeleteRecords;
                view.Progress(rpMeasuring, ++read, 0);
            },
            &report.DeleteReplaced);
    TColumnWidths measured{};
    if (!files.AddPath.empty())
        ReadRecords(
            files.AddPath,
            [&](const TDictionaryRecord& record, long) {
                ++report.AddRecords;
                WidenColumns(measured, record.Slots);
                view.Progress(rpMeasuring, ++read, 0);
            },
            &report.AddReplaced);
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
    try {
        report.RowsBefore = CountDictionaryRows(m_database, *transaction);
        if (!files.DeletePath.empty()) {
            auto remove = NewStatement(m_database, *transaction, DeleteText, true);
            remove->Prepare();
            long done = 0;
            ReadRecords(files.DeletePath, [&](const TDictionaryRecord& record, long line) {
                bool matched = false;
                if (RecordFits(record, widths)) {   // a longer value has no row to match
                    Bind(remove->InputArea(), 0, record);
                    remove->ExecPrepared();
                    matched = remove->AffectedRows() > 0;
                }
                if (matched)
                    ++report.Deleted;
                else
                    report.Unmatched.push_back(line);
                view.Progress(rpStoring, ++done, report.DeleteRecords + report.AddRecords);
            });
        }

        // A record wider than its column has no equal row: no need to look.
        if (report.Deleted == 0 && report.WidenedColumns.empty() &&
            AddRecordsPresent(m_database, *transaction, files.AddPath, shape.Widths[rsZip])) {
            RollbackQuietly(*transaction);
            report.AlreadyApplied = true;
            report.RowsAfter = report.RowsBefore;
            return report;
        }

        long fitOnlyWidened = 0;   // a dry run's records that the widening would let in
        if (!files.AddPath.empty()) {
            TStoringView storing(view, report.DeleteRecords, report.DeleteRecords + report.AddRecords);
            TRefreshReport inserts;
            TInsertPass(m_database, *transaction, widths, report.AddRecords, storing, inserts).Run(files.AddPath);
            report.Inserted = inserts.Inserted;
            report.Refused = std::move(inserts.Refused);
            if (dryRun && !report.WidenedColumns.empty()) {
                std::set<long> lines;
                ReadRecords(files.AddPath, [&](const TDictionaryRecord& record, long line) {
                    if (!RecordFits(record, widths) && RecordFits(record, wanted))
                        lines.insert(line);
                });
                const auto before = report.Refused.size();
                std::erase_if(report.Refused, [&lines](const TRefusedRecord& r) { return lines.count(r.Line) > 0; });
                fitOnlyWidened = static_cast<long>(before - report.Refused.size());
                report.Inserted += fitOnlyWidened;
            }
        }

        report.RowsAfter = CountDictionaryRows(m_database, *transaction) + fitOnlyWidened;
        if (dryRun)
            RollbackQuietly(*transaction);
        else
            CommitUnlessStopped(*transaction);
    } catch (const EInOutError& e) {
        RollbackQuietly(*transaction);
        throw Unreadable(files.AddPath, e);
    } catch (const EMalformedText& e) {
        RollbackQuietly(*transaction);
        throw ESourceUnusable(e.Message());   // the add file changed since it was read
    } catch (...) {
        RollbackQuietly(*transaction);
        throw;
    }
    return report;
}
