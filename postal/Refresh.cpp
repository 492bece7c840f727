#include "Refresh.h"

#include "DictionaryBuild.h"
#include "DictionaryTable.h"
#include "RefreshStatements.h"
#include "SourceFile.h"
#include "TableLimits.h"

#include <IBSQL.h>
#include <TextFile.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr int kZipWidth = 7;
constexpr int kMaxBlockContexts = 256;
constexpr std::size_t kBlockRequestBudget = 8u << 20;   // under the server's 10 MiB, with room to spare

// The measuring pass's share of the window: nobody watches its lines or
// presses its keys; its counts reach the refresh's view directly.
class TQuietMeasureView : public BuildView {
public:
    void SetPhaseLine(const std::string&) override {}
    void SetProgressLine(const std::string&) override {}
    void ShowMessage(const std::string&) override {}
    bool EscapeDown() override { return false; }
    void EnableBuildButton(bool) override {}
};

std::string WidthList(const TTableWidths& widths)
{
    std::string text;
    for (int k = 0; k < rsCount; ++k)
        text += std::string(k ? ", " : "") + kColumnNames[k] + " " + IntToStr(widths[k]);
    return text;
}

} // namespace

TTableWidths TableWidths(const TColumnWidths& widths)
{
    TTableWidths table{};
    table[rsZip] = kZipWidth;
    std::copy(widths.begin(), widths.end(), table.begin() + 1);
    return table;
}

int RowsPerBlock(const TTableWidths& widths)
{
    // A VARCHAR parameter takes its width, its length word and its NULL
    // flag, aligned; 8 bytes each covers all three.
    std::size_t row = 0;
    for (int width : widths)
        row += static_cast<std::size_t>(std::max(width, 0)) + 8;
    const std::size_t rows = kBlockRequestBudget / row;
    return static_cast<int>(std::clamp<std::size_t>(rows, 1, kMaxBlockContexts));
}

std::string BlockText(const TTableWidths& widths, int rows)
{
    // Parameter names: a letter per column and the row's number in the block.
    std::string text = "EXECUTE BLOCK (";
    for (int r = 0; r < rows; ++r)
        for (int k = 0; k < rsCount; ++k) {
            if (r || k)
                text += ",";
            text += static_cast<char>('A' + k) + IntToStr(r) + " VARCHAR(" +
                    IntToStr(widths[static_cast<std::size_t>(k)]) + ") CHARACTER SET NONE = ?";
        }
    text += ")\r\nAS BEGIN\r\n";
    for (int r = 0; r < rows; ++r) {
        text += "INSERT INTO ZIPDIC (ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3) VALUES (";
        for (int k = 0; k < rsCount; ++k)
            text += std::string(k ? ", :" : ":") + static_cast<char>('A' + k) + IntToStr(r);
        text += ");\r\n";
    }
    text += "END";
    return text;
}

std::string RowInsertText()
{
    return "INSERT INTO ZIPDIC (ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3) VALUES (?, ?, ?, ?, ?, ?, ?)";
}

TDictionaryRefresh::TDictionaryRefresh(TIBDatabase& database) : m_database(database) {}

TRefreshReport TDictionaryRefresh::Run(const std::string& path, RefreshView& view)
{
    TRefreshReport report;

    // What the file needs, before anything in the database is touched. The
    // file stays open for the second pass.
    TSourceFile source;
    source.ReadStrictly(KenAllLayout);
    TColumnWidths measured{};
    int records = 0;
    TReadFingerprint measuredRead;
    {
        TQuietMeasureView measureView;
        try {
            source.Open(path);
            TMeasureResult measure = MeasurePass(source, measured, records, measureView,
                                                 [&view](int n) { view.Progress(rpMeasuring, n, 0); });
            if (measure.ReadError)
                std::rethrow_exception(measure.ReadError);
            measuredRead = measure.Read;
            report.Replaced = std::move(measure.Replaced);
        } catch (const EMalformedText& e) {
            throw ESourceUnusable(e.Message() + "; nothing changed");
        } catch (const Exception& e) {
            // An I/O error, or a file the reader cannot open as a source.
            throw ESourceUnusable("cannot read " + path + ": " + e.Message() + "; nothing changed");
        }
    }
    report.Records = records;
    if (records == 0)
        throw ESourceUnusable(path + ": no line gives a record; nothing changed");
    for (int k = 0; k < static_cast<int>(measured.size()); ++k)
        if (measured[static_cast<std::size_t>(k)] == 0)
            throw ESourceUnusable(path + ": column " + kColumnNames[k + 1] + " is empty in every record; nothing changed");

    const TShape shape = ReadShape(m_database);
    TTableWidths widths = TableWidths(measured);
    if (shape.Exists)
        for (std::size_t k = 0; k < widths.size(); ++k)
            widths[k] = std::max(widths[k], shape.Widths[k]);   // never narrower
    TColumnWidths address;
    std::copy(widths.begin() + 1, widths.end(), address.begin());
    if (!TableFits(address))
        throw ESourceUnusable(path + ": a ZIPDIC of " + WidthList(widths) +
                              " is wider than the server takes; nothing changed");

    ApplyWidths(m_database, shape, widths, report);
    // A rollback from here on leaves the rows as they were, but a table
    // created or widened for the file stays so.
    const std::string unchanged = report.TableCreated || !report.WidenedColumns.empty()
                                      ? "the rows of ZIPDIC are as they were"
                                      : "nothing changed";
    const std::string changedMeanwhile = path + " changed while it was read; " + unchanged;

    // The rows: all replaced in one transaction, or none.
    auto transaction = NewTransaction(m_database, kReservingParams);
    StartReserving(*transaction);
    // The guard lives inside the try: the rows are rolled back before an
    // error is translated below, and so before anyone reports it.
    try {
        TTransactionGuard guard(*transaction);
        {
            auto remove = NewStatement(m_database, *transaction, "DELETE FROM ZIPDIC", false);
            remove->ExecQuery();
            report.RowsBefore = std::max(remove->AffectedRows(), 0);
        }
        if (!m_allowShrink && 2L * records < report.RowsBefore)
            throw ESourceShrinks(path + ": " + IntToStr(records) + " records, fewer than half of the " +
                                 IntToStr(report.RowsBefore) + " rows ZIPDIC holds (a cut file?); " + unchanged);
        source.Rewind();
        TInsertPass(m_database, *transaction, widths, report.Records, view, report).Run(source);
        source.Close();
        // The rows must be the bytes that were measured: a file written
        // while it was read (a download still running) is not stored.
        if (source.Fingerprint() != measuredRead)
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
        throw ESourceUnusable("cannot read " + path + ": " + e.Message() + "; the rows of ZIPDIC are as they were");
    }
    report.RowsAfter = report.Inserted;
    return report;
}
