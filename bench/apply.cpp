// apply KEN_ALL TARGET [--rounds R] [--forced-writes on|off] [--write DIR]
//
// The month's apply (TMonthlyApply) against a refresh of the whole file
// (TDictionaryRefresh), on the same database in one run. KEN_ALL is
// Japan Post's whole file (ken_all.zip or its CSV). From it two months are
// made, each with the same 380 add records (every 328th record, left out of
// last month) and 250 or 2,500 delete records (last month's copies of
// records under a postal code 000nnnn that no record has): last month's
// whole file is the real one without the adds and with the delete records.
// Each round refreshes the real file (timed: the baseline), then for each
// month refreshes last month's file (untimed), and times on that table the
// dry run, the apply and the same apply again (already applied). Before each
// timed run an untimed full scan collects the versions the run before left,
// so that every run meets a settled table, as one that has stood for a month.
// Prints the medians of R rounds (default 3) and each as a ratio to the
// refresh's, and checks that the apply leaves the real file's rows.
//
// TARGET is a database file for the embedded engine or "127.0.0.1/PORT:/path"
// for a local server (SYSDBA, copperjam); it is created when missing.
// --forced-writes sets the database's forced writes for good through the
// attach (a new database has them on). --write DIR only writes the files (last_250.csv, del_250.csv, last_2500.csv,
// del_2500.csv, add.csv) into DIR and ends, for timing "kx27 apply" itself.
#include "BenchSupport.h"

#include <MonthlyApply.h>
#include <Refresh.h>
#include <SourceFile.h>

#include <SysUtils.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kAddRecords = 380;
constexpr std::size_t kAddEvery = 328;   // 380 of the real file's records, spread over it

class TCountingRefreshView : public RefreshView {
public:
    void Progress(TRefreshPhase, long, long) override { ++Calls; }
    long Calls = 0;
};

// One month's files.
struct TMonth {
    int Deletes = 0;
    std::string Last;     // last month's whole file
    std::string Delete;
    std::string Add;
};

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw Exception("cannot write " + path);
}

// The real file's lines (CR LF ended) and the months made from them.
std::vector<TMonth> MakeMonths(const std::string& kenAll, const fs::path& folder)
{
    std::vector<std::string> lines;
    {
        TSourceFile source;
        source.Open(kenAll);
        while (!source.Eof()) {
            source.ReadLine();
            lines.push_back(source.Line() + "\r\n");
        }
        source.Close();
    }
    std::string add;
    int adds = 0;
    for (std::size_t i = 0; i < lines.size() && adds < kAddRecords; i += kAddEvery, ++adds)
        add += lines[i];
    const std::string addPath = (folder / "add.csv").string();
    WriteBytes(addPath, add);

    std::vector<TMonth> months;
    for (int deletes : {250, 2500}) {
        // The delete records, spread over the file: record i's line under the
        // postal code 000nnnn (the third field; no real code begins with 000).
        const std::size_t every = lines.size() / static_cast<std::size_t>(deletes);
        std::string last, del;
        int gone = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const bool isAdd = i % kAddEvery == 0 && i / kAddEvery < static_cast<std::size_t>(kAddRecords);
            if (!isAdd)
                last += lines[i];
            if (i % every == 1 && gone < deletes) {
                std::string changed = lines[i];
                const std::size_t from = changed.find(",\"", changed.find(',') + 1) + 2;
                char zip[16];
                std::snprintf(zip, sizeof zip, "000%04d", gone++);
                changed.replace(from, 7, zip);
                last += changed;
                del += changed;
            }
        }
        TMonth month;
        month.Deletes = gone;
        month.Last = (folder / ("last_" + std::to_string(deletes) + ".csv")).string();
        month.Delete = (folder / ("del_" + std::to_string(deletes) + ".csv")).string();
        month.Add = addPath;
        WriteBytes(month.Last, last);
        WriteBytes(month.Delete, del);
        months.push_back(month);
    }
    return months;
}

struct TMonthTimes {
    std::vector<double> DryRun, Apply, Again;
    TApplyReport Applied;
    long long RowsAfter = 0;
    bool Faithful = true;   // every apply left the real file's rows, every second one found the month there
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: apply KEN_ALL TARGET [--rounds R] [--forced-writes on|off] [--write DIR]\n");
        return 2;
    }
    const std::string kenAll = argv[1];
    const std::string target = argv[2];
    int rounds = 3;
    const char* forcedWrites = nullptr;
    std::string writeTo;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--forced-writes") == 0)
            forcedWrites = argv[i + 1];
        else if (std::strcmp(argv[i], "--write") == 0)
            writeTo = argv[i + 1];
    }
    fs::path folder;
    try {
        if (!writeTo.empty()) {
            fs::create_directories(writeTo);
            MakeMonths(kenAll, writeTo);
            std::printf("written into %s\n", writeTo.c_str());
            return 0;
        }
        std::string pattern = (fs::temp_directory_path() / "kx27_bench_apply_XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw Exception("cannot make a folder in " + fs::temp_directory_path().string());
        folder = pattern;
        const std::vector<TMonth> months = MakeMonths(kenAll, folder);

        std::vector<std::string> extraParams;
        if (forcedWrites)
            extraParams.push_back(std::string("force_write=") + (std::strcmp(forcedWrites, "off") == 0 ? "0" : "1"));
        TBenchComponents components(target, extraParams);
        TIBDatabase& database = components.Database;
        TCountingRefreshView view;
        TRefreshReport refreshed;
        const auto settled = [&](const auto& run) {
            StoredRows(database, components.Transaction);
            return WallSeconds(run);
        };
        TDictionaryRefresh(database).Run(kenAll, view);   // the table, and the caches warm
        std::vector<double> refreshTimes;
        std::vector<TMonthTimes> times(months.size());
        for (int round = 0; round < rounds; ++round) {
            refreshTimes.push_back(
                settled([&] { refreshed = TDictionaryRefresh(database).Run(kenAll, view); }));
            for (std::size_t m = 0; m < months.size(); ++m) {
                const TMonth& month = months[m];
                TMonthTimes& t = times[m];
                TDictionaryRefresh(database).Run(month.Last, view);
                const TApplyFiles files{month.Delete, month.Add};
                TApplyReport again;
                t.DryRun.push_back(settled([&] { TMonthlyApply(database).Run(files, true, view); }));
                t.Apply.push_back(settled([&] { t.Applied = TMonthlyApply(database).Run(files, false, view); }));
                t.Again.push_back(settled([&] { again = TMonthlyApply(database).Run(files, false, view); }));
                t.RowsAfter = StoredRows(database, components.Transaction);
                t.Faithful = t.Faithful && t.Applied.Deleted == month.Deletes && t.Applied.Unmatched.empty() &&
                             t.Applied.Inserted == kAddRecords && t.RowsAfter == refreshed.RowsAfter &&
                             again.AlreadyApplied;
            }
        }
        const double refresh = Median(refreshTimes);
        std::printf("file            %s\n", kenAll.c_str());
        std::printf("target          %s%s\n", target.c_str(),
                    forcedWrites ? (std::string(" (forced writes ") + forcedWrites + ")").c_str() : "");
        std::printf("refresh         %7.3f s   median of %d; %ld rows\n", refresh, rounds, refreshed.RowsAfter);
        for (std::size_t m = 0; m < months.size(); ++m) {
            const TMonthTimes& t = times[m];
            std::printf("month of %d deletes and %d adds on %ld rows%s\n", months[m].Deletes, kAddRecords,
                        t.Applied.RowsBefore, t.Faithful ? "" : "  ** NOT THE REAL FILE'S ROWS AFTERWARDS **");
            const struct { const char* name; const std::vector<double>& values; } rows[] = {
                {"  apply       ", t.Apply}, {"  again       ", t.Again}, {"  dry run     ", t.DryRun}};
            for (const auto& row : rows) {
                std::printf("%s%7.3f s   / refresh %5.3f   (", row.name, Median(row.values), Median(row.values) / refresh);
                for (std::size_t i = 0; i < row.values.size(); ++i)
                    std::printf("%s%.3f", i ? " " : "", row.values[i]);
                std::printf(")\n");
            }
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "apply: %s\n", e.Message().c_str());
        if (!folder.empty())
            fs::remove_all(folder);
        return 1;
    }
    fs::remove_all(folder);
    return 0;
}
