#include "Refresh.h"

#include "DictionaryTable.h"
#include "SourceFile.h"

#include <IBSQL.h>
#include <TextFile.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

constexpr long ProgressEvery = 500;

// What the first pass found: the file's table and the widths it needs.
struct TMeasured {
    const TTableDescription* Table = nullptr;
    TTableWidths Widths;
    long Records = 0;
    TReadFingerprint Read;
    TReplacements Replaced;
};

// The first pass over an open source, to its end; the source stays open.
TMeasured Measure(TSourceFile& source, RefreshView& view)
{
    TMeasured measured;
    ForEachRow(source, [&](const TTableRow& row, long) {
        if (!measured.Table) {
            measured.Table = source.Table();
            measured.Widths = FileWidths(*measured.Table);
        }
        WidenTo(*measured.Table, measured.Widths, row);
        if (++measured.Records % ProgressEvery == 0)
            view.Progress(rpMeasuring, measured.Records, 0);
    });
    measured.Read = source.Fingerprint();
    measured.Replaced = source.Replacements();
    return measured;
}

} // namespace

TDictionaryRefresh::TDictionaryRefresh(TIBDatabase& database) : m_database(database) {}

TRefreshReport TDictionaryRefresh::Run(const std::string& path, RefreshView& view)
{
    TRefreshReport report;
    m_table = nullptr;

    // What the file needs, before anything in the database is touched. The
    // file stays open for the second pass.
    TSourceFile source;
    source.ReadStrictlyAsTable();
    TMeasured measured;
    try {
        source.Open(path);
        measured = Measure(source, view);
    } catch (const EMalformedText& e) {
        throw ESourceUnusable(e.Message() + "; nothing changed");
    } catch (const Exception& e) {
        // An I/O error, or a file the reader cannot open as a source.
        throw ESourceUnusable("cannot read " + path + ": " + e.Message() + "; nothing changed");
    }
    report.Records = measured.Records;
    report.Replaced = std::move(measured.Replaced);
    if (measured.Records == 0)
        throw ESourceUnusable(path + ": no line gives a record; nothing changed");
    const TTableDescription& table = *measured.Table;
    report.Table = m_table = &table;
    for (std::size_t k = 0; k < table.Columns.size(); ++k) {
        const TColumnDescription& column = table.Columns[k];
        if (column.Kind == ckText && column.FixedWidth == 0 && measured.Widths[k] == 0)
            throw ESourceUnusable(path + ": column " + column.Name + " is empty in every record; nothing changed");
    }

    const TShape shape = ReadShape(m_database, table);
    TTableWidths widths = measured.Widths;
    if (shape.Exists)
        for (std::size_t k = 0; k < widths.size(); ++k)
            widths[k] = std::max(widths[k], shape.Widths[k]);   // never narrower
    if (!TableFits(table, widths))
        throw ESourceUnusable(path + ": a " + table.Name + " of " + WidthList(table, widths) +
                              " is wider than the server takes; nothing changed");

    TWidening widening = ApplyWidths(m_database, table, shape, widths);
    report.TableCreated = widening.Created;
    report.WidenedColumns = std::move(widening.Widened);
    // A rollback from here on leaves the rows as they were, but a table
    // created or widened for the file stays so.
    const std::string unchanged = report.TableCreated || !report.WidenedColumns.empty()
                                      ? std::string("the rows of ") + table.Name + " are as they were"
                                      : std::string("nothing changed");
    const std::string changedMeanwhile = path + " changed while it was read; " + unchanged;

    // The rows: all replaced in one transaction, or none.
    auto transaction = NewTransaction(m_database, ReservingParams(table));
    StartReserving(*transaction, table);
    // The guard lives inside the try: the rows are rolled back before an
    // error is translated below, and so before anyone reports it.
    try {
        TTransactionGuard guard(*transaction);
        {
            auto remove = NewStatement(m_database, *transaction, DeleteAllText(table), false);
            remove->ExecQuery();
            report.RowsBefore = std::max(remove->AffectedRows(), 0);
        }
        if (!m_allowShrink && 2L * report.Records < report.RowsBefore)
            throw ESourceShrinks(path + ": " + IntToStr(report.Records) + " records, fewer than half of the " +
                                 IntToStr(report.RowsBefore) + " rows " + table.Name + " holds (a cut file?); " +
                                 unchanged);
        source.Rewind();
        TInsertCounts counts;
        TInsertPass(m_database, *transaction, table, widths, report.Records, view, counts).Run(source);
        report.Inserted = counts.Inserted;
        report.Refused = std::move(counts.Refused);
        source.Close();
        // The rows must be the bytes that were measured: a file written
        // while it was read (a download still running) is not stored.
        if (source.Fingerprint() != measured.Read)
            throw ESourceUnusable(changedMeanwhile);
        guard.Commit();
    } catch (const EDatabaseError&) {
        throw;
    } catch (const ESourceUnusable&) {
        throw;
    } catch (const EMalformedText&) {
        // The first pass found every line well-formed.
        throw ESourceUnusable(changedMeanwhile);
    } catch (const Exception& e) {
        throw ESourceUnusable("cannot read " + path + ": " + e.Message() + "; the rows of " + table.Name +
                              " are as they were");
    }
    report.RowsAfter = report.Inserted;
    return report;
}
