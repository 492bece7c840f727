// refresh KEN_ALL.CSV TARGET [--forced-writes on|off] [--rounds R] [--only build|refresh|raw] [--skip-build yes]
//         [--utf8 UTF_KEN_ALL] [--offices JIGYOSYO]
//
// Three ways to fill ZIPDIC from the same file, against the same database in
// one run: the window's build (TDictionaryBuild through IBQuery1 with a view
// that only counts repaints: one transaction and one statement per record),
// the refresh (TDictionaryRefresh: the rows replaced in one transaction, in
// blocks of rows through one prepared EXECUTE BLOCK), and the refresh's
// statement strategy written with the client library's calls directly: the
// same measuring pass, the same transaction options, the same DELETE, the
// same block text and row grouping, the values pointed at in the records
// themselves. Prints the wall-clock time of each and the ratios: the build
// against the refresh, the refresh against the raw loop. The build runs once
// (it also gives the table its widths and its rows); the refresh and the raw
// loop then run R times each (default 3), alternating which goes first,
// each replacing the full table, and their medians are compared.
//
// TARGET is a database file for the embedded engine or "127.0.0.1/PORT:/path"
// for a local server (SYSDBA, copperjam); it is created when missing.
// --forced-writes sets the database's forced writes for good through the
// attach. --only runs one of the three, once (for /usr/bin/time -v: the
// refresh's peak memory); the table must exist for raw. --skip-build yes
// compares the refresh and the raw loop alone, on a table an untimed refresh made.
// --utf8 names the UTF-8 file of the same month (utf_ken_all.zip): each
// round then also refreshes from it, and its median is compared with the
// refresh's from KEN_ALL.CSV (what reading UTF-8 and converting it costs).
// --offices names the business offices' file (jigyosyo.zip): each round then
// also refreshes JIGYOSYO from it and runs the raw loop on it, and their
// medians are compared as for ZIPDIC.
#include "BenchSupport.h"

#include <DictionaryBuild.h>
#include <IBIntf.h>
#include <MeasurePass.h>
#include <Refresh.h>
#include <TableDescription.h>
#include <SourceFile.h>

#include <SysUtils.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

class TCountingRefreshView : public RefreshView {
public:
    void Progress(TRefreshPhase, long, long) override { ++Calls; }
    long Calls = 0;
};

[[noreturn]] void Fail(const char* what)
{
    const TClientApi& api = ClientApi();
    char line[1024];
    std::string message = what;
    const ISC_STATUS* cursor = ThreadStatusVector();
    while (api.isc_interprete(line, const_cast<ISC_STATUS**>(&cursor)) > 0)
        message += std::string("\n") + line;
    throw Exception(message);
}

// One prepared block of `rows` rows with its input area, filled by pointing
// at the rows' own bytes.
struct TRawBlock {
    isc_stmt_handle Statement = 0;
    std::unique_ptr<char[]> Area;
    std::vector<short> Nulls;
    int Rows = 0;
    int Columns = 0;

    XSQLDA* Sqlda() const { return reinterpret_cast<XSQLDA*>(Area.get()); }

    void Prepare(isc_db_handle* database, isc_tr_handle* transaction, const TTableDescription& table,
                 const TTableWidths& widths, int rows)
    {
        const TClientApi& api = ClientApi();
        Rows = rows;
        Columns = table.ColumnCount();
        const int count = rows * Columns;
        Area.reset(new char[XSQLDA_LENGTH(count)]());
        Sqlda()->version = SQLDA_VERSION1;
        Sqlda()->sqln = static_cast<short>(count);
        Nulls.assign(static_cast<std::size_t>(count), 0);
        const std::string text = BlockText(table, widths, rows);
        if (api.isc_dsql_alloc_statement2(ThreadStatusVector(), database, &Statement) ||
            api.isc_dsql_prepare(ThreadStatusVector(), transaction, &Statement, 0, text.c_str(), 3, nullptr) ||
            api.isc_dsql_describe_bind(ThreadStatusVector(), &Statement, 3, Sqlda()))
            Fail("preparing the block");
        for (int i = 0; i < count; ++i)
            Sqlda()->sqlvar[i].sqlind = &Nulls[static_cast<std::size_t>(i)];
    }

    void Execute(isc_tr_handle* transaction, const std::vector<TTableRow>& rows)
    {
        for (int r = 0; r < Rows; ++r)
            for (int k = 0; k < Columns; ++k) {
                const std::string& value = rows[static_cast<std::size_t>(r)][static_cast<std::size_t>(k)];
                XSQLVAR& var = Sqlda()->sqlvar[r * Columns + k];
                var.sqltype = SQL_TEXT + 1;
                var.sqldata = const_cast<char*>(value.data());
                var.sqllen = static_cast<short>(value.size());
                *var.sqlind = value.empty() ? -1 : 0;
            }
        if (ClientApi().isc_dsql_execute(ThreadStatusVector(), transaction, &Statement, 3, Sqlda()))
            Fail("executing the block");
    }

    ~TRawBlock()
    {
        if (Statement)
            ClientApi().isc_dsql_free_statement(ThreadStatusVector(), &Statement, DSQL_drop);
    }
};

// The refresh's statements with the client calls alone, into the file's
// table, which is already wide enough. Returns the rows inserted.
long RawRefresh(TIBDatabase& database, const std::string& path, int& perBlockOut)
{
    const TClientApi& api = ClientApi();
    TSourceFile source;
    source.ReadStrictlyAsTable();
    source.Open(path);
    const TTableDescription* table = nullptr;
    TTableWidths widths;
    ForEachRow(source, [&](const TTableRow& row, long) {
        if (!table) {
            table = source.Table();
            widths = FileWidths(*table);
        }
        WidenTo(*table, widths, row);
    });
    if (!table)
        throw Exception("no record in " + path);
    const int perBlock = RowsPerBlock(*table, widths);
    perBlockOut = perBlock;

    isc_db_handle* db = database.HandleAddress();
    isc_tr_handle transaction = 0;
    std::string tpb = {isc_tpb_version3, isc_tpb_concurrency, isc_tpb_write, isc_tpb_nowait, isc_tpb_lock_write};
    tpb += static_cast<char>(std::strlen(table->Name));
    tpb += table->Name;
    tpb += static_cast<char>(isc_tpb_protected);
    ISC_TEB teb{db, static_cast<int>(tpb.size()), tpb.data()};
    if (api.isc_start_multiple(ThreadStatusVector(), &transaction, 1, &teb))
        Fail("starting the transaction");
    if (api.isc_dsql_execute_immediate(ThreadStatusVector(), db, &transaction, 0, DeleteAllText(*table).c_str(), 3,
                                       nullptr))
        Fail("DELETE");
    long inserted = 0;
    {
        TRawBlock full, last;
        full.Prepare(db, &transaction, *table, widths, perBlock);
        std::vector<TTableRow> block(static_cast<std::size_t>(perBlock));
        int filled = 0;
        source.Rewind();
        while (!source.Eof()) {
            source.ReadLine();
            source.TakeRow(block[static_cast<std::size_t>(filled)]);
            if (++filled == perBlock) {
                full.Execute(&transaction, block);
                inserted += filled;
                filled = 0;
            }
        }
        source.Close();
        if (filled > 0) {
            last.Prepare(db, &transaction, *table, widths, filled);
            last.Execute(&transaction, block);
            inserted += filled;
        }
    }
    if (api.isc_commit_transaction(ThreadStatusVector(), &transaction))
        Fail("commit");
    return inserted;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: refresh KEN_ALL.CSV TARGET [--forced-writes on|off] [--rounds R] "
                             "[--only build|refresh|raw]\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::string target = argv[2];
    const char* forcedWrites = nullptr;
    std::string only;
    bool skipBuild = false;
    std::string utf8Path;
    std::string officesPath;
    int rounds = 3;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--forced-writes") == 0)
            forcedWrites = argv[i + 1];
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
        else if (std::strcmp(argv[i], "--skip-build") == 0)
            skipBuild = std::strcmp(argv[i + 1], "yes") == 0;
        else if (std::strcmp(argv[i], "--utf8") == 0)
            utf8Path = argv[i + 1];
        else if (std::strcmp(argv[i], "--offices") == 0)
            officesPath = argv[i + 1];
    }
    try {
        std::vector<std::string> extraParams;
        if (forcedWrites)
            extraParams.push_back(std::string("force_write=") + (std::strcmp(forcedWrites, "off") == 0 ? "0" : "1"));
        TBenchComponents components(target, extraParams);
        TIBDatabase& database = components.Database;

        TColumnWidths widths{};
        TDictionaryBuild build(database, components.Transaction, components.Query, widths);
        TCountingView buildView(database);
        const auto runBuild = [&] { build.Run(path, buildView); };
        TRefreshReport report;
        TCountingRefreshView refreshView;
        const auto runRefresh = [&] { report = TDictionaryRefresh(database).Run(path, refreshView); };
        TRefreshReport utf8Report;
        const auto runUtf8 = [&] { utf8Report = TDictionaryRefresh(database).Run(utf8Path, refreshView); };
        long rawRows = 0;
        int perBlock = 0;
        const auto runRaw = [&] { rawRows = RawRefresh(database, path, perBlock); };
        TRefreshReport officesReport;
        const auto runOffices = [&] { officesReport = TDictionaryRefresh(database).Run(officesPath, refreshView); };
        long officesRawRows = 0;
        int officesPerBlock = 0;
        const auto runOfficesRaw = [&] { officesRawRows = RawRefresh(database, officesPath, officesPerBlock); };
        if (!officesPath.empty())
            runOffices();   // the table the raw loop needs

        if (!only.empty()) {
            const double took = only == "build" ? WallSeconds(runBuild)
                                : only == "raw" ? WallSeconds(runRaw)
                                                : WallSeconds(runRefresh);
            std::printf("%-8s %9.3f s   rows %lld\n", only.c_str(), took, StoredRows(database, components.Transaction));
            return 0;
        }

        if (skipBuild)
            runRefresh();   // the table the rounds replace, made by an untimed refresh
        const double buildSeconds = skipBuild ? 0 : WallSeconds(runBuild);
        const long long buildRows = StoredRows(database, components.Transaction);
        std::vector<double> refreshTimes, rawTimes, utf8Times, officesTimes, officesRawTimes;
        // Each timed run starts from the same table: the versions the last
        // run's DELETE left behind are collected by an untimed full scan
        // first, instead of by whichever run comes next.
        const auto collected = [&](const auto& run) {
            StoredRows(database, components.Transaction);
            return WallSeconds(run);
        };
        for (int round = 0; round < rounds; ++round) {
            if (round % 2 == 0) {
                refreshTimes.push_back(collected(runRefresh));
                if (!utf8Path.empty())
                    utf8Times.push_back(collected(runUtf8));
                rawTimes.push_back(collected(runRaw));
                if (!officesPath.empty()) {
                    officesTimes.push_back(collected(runOffices));
                    officesRawTimes.push_back(collected(runOfficesRaw));
                }
            } else {
                rawTimes.push_back(collected(runRaw));
                if (!utf8Path.empty())
                    utf8Times.push_back(collected(runUtf8));
                refreshTimes.push_back(collected(runRefresh));
                if (!officesPath.empty()) {
                    officesRawTimes.push_back(collected(runOfficesRaw));
                    officesTimes.push_back(collected(runOffices));
                }
            }
        }
        const long long rows = StoredRows(database, components.Transaction);
        const double refreshSeconds = Median(refreshTimes);
        const double rawSeconds = Median(rawTimes);
        std::printf("file            %s\n", path.c_str());
        std::printf("target          %s%s\n", target.c_str(),
                    forcedWrites ? (std::string(" (forced writes ") + forcedWrites + ")").c_str() : "");
        std::printf("records         %ld; rows per block %d\n", report.Records, perBlock);
        if (!skipBuild)
            std::printf("window build    %9.3f s   rows %lld, repaints %ld\n", buildSeconds, buildRows,
                        buildView.Repaints);
        std::printf("refresh         %9.3f s   median of %d; rows %ld, refused %zu, progress calls %ld\n",
                    refreshSeconds, rounds, report.RowsAfter, report.Refused.size(), refreshView.Calls / rounds);
        std::printf("raw client loop %9.3f s   median of %d; rows %ld\n", rawSeconds, rounds, rawRows);
        for (int round = 0; round < rounds; ++round)
            std::printf("  round %d       refresh %7.3f s   raw %7.3f s   ratio %5.3f\n", round + 1,
                        refreshTimes[static_cast<std::size_t>(round)], rawTimes[static_cast<std::size_t>(round)],
                        refreshTimes[static_cast<std::size_t>(round)] / rawTimes[static_cast<std::size_t>(round)]);
        if (!skipBuild)
            std::printf("build / refresh %9.1f\n", buildSeconds / refreshSeconds);
        std::printf("refresh / raw   %9.3f\n", refreshSeconds / rawSeconds);
        if (!utf8Path.empty()) {
            const double utf8Seconds = Median(utf8Times);
            std::printf("UTF-8 file      %s\n", utf8Path.c_str());
            std::printf("refresh UTF-8   %9.3f s   median of %d; records %ld, rows %ld, stored as U+3013 %ld\n",
                        utf8Seconds, rounds, utf8Report.Records, utf8Report.RowsAfter, utf8Report.Replaced.Count);
            for (int round = 0; round < rounds; ++round)
                std::printf("  round %d       UTF-8 %7.3f s   Shift-JIS %7.3f s   ratio %5.3f\n", round + 1,
                            utf8Times[static_cast<std::size_t>(round)], refreshTimes[static_cast<std::size_t>(round)],
                            utf8Times[static_cast<std::size_t>(round)] / refreshTimes[static_cast<std::size_t>(round)]);
            std::printf("UTF-8 / Shift-JIS %7.3f\n", utf8Seconds / refreshSeconds);
        }
        if (!officesPath.empty()) {
            const double officesSeconds = Median(officesTimes);
            const double officesRawSeconds = Median(officesRawTimes);
            std::printf("offices file    %s\n", officesPath.c_str());
            std::printf("refresh offices %9.3f s   median of %d; records %ld, rows %ld, rows per block %d\n",
                        officesSeconds, rounds, officesReport.Records, officesReport.RowsAfter, officesPerBlock);
            std::printf("raw offices     %9.3f s   median of %d; rows %ld\n", officesRawSeconds, rounds,
                        officesRawRows);
            for (int round = 0; round < rounds; ++round)
                std::printf("  round %d       refresh %7.3f s   raw %7.3f s   ratio %5.3f\n", round + 1,
                            officesTimes[static_cast<std::size_t>(round)],
                            officesRawTimes[static_cast<std::size_t>(round)],
                            officesTimes[static_cast<std::size_t>(round)] /
                                officesRawTimes[static_cast<std::size_t>(round)]);
            std::printf("offices refresh / raw %5.3f\n", officesSeconds / officesRawSeconds);
        }
        std::printf("rows at the end %lld\n", rows);
        if (!buildView.Messages.empty())
            std::printf("build messages: %s", buildView.Messages.c_str());
    } catch (const Exception& e) {
        std::fprintf(stderr, "refresh: %s\n", e.Message().c_str());
        return 1;
    }
    return 0;
}
