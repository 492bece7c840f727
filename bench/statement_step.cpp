// statement_step TARGET [N] [--async-writes] [--csv KEN_ALL.CSV]
//
// Runs N of the dictionary build's INSERTs, each in a transaction of its
// own, two ways against the same database and the same connection: through
// the build's own statement step over IBQuery1 (start, close, ParamCheck off,
// SQL lines replaced, Prepare, Execute, Commit), and written directly with
// the client library's calls (start, allocate, prepare, statement-type
// information, execute, free, commit), with the same statement texts. Blocks
// of rows alternate between the two, so both meet the same growing table.
// Prints the wall-clock time and the calling thread's CPU time of each (the
// embedded engine works in the calling thread, so on a busy machine the CPU
// times compare more steadily), their ratios, and, from a separate shorter
// pass, the client calls each makes per row and how its time divides between
// the client library (the engine, when embedded) and the code around it: per
// entry point, the time inside it and the time the caller's own code ran
// between the previous call's return and this call.
//
// TARGET is a database file for the embedded engine or "127.0.0.1:/path"
// for the local server (user SYSDBA, password copperjam); it is created when
// it does not exist, and its table ZIPDIC is replaced. N defaults to 20000.
// --async-writes attaches with force_write=0, which turns the database's
// forced writes off for good, so that a commit does not wait for the disk
// and the layer's own cost shows more plainly. Rows come from KEN_ALL.CSV
// when given (read as the build reads it), otherwise they are synthetic.
#include "BenchSupport.h"

#include <DictionaryBuild.h>
#include <SourceFile.h>
#include <IBIntf.h>
#include <IBQuery.h>

#include <SysUtils.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <time.h>

namespace {

std::vector<TDictionaryRecord> LoadRecords(std::size_t count, const char* csv)
{
    std::vector<TDictionaryRecord> records;
    if (csv) {
        TSourceFile source;
        TDictionaryRecord record;
        source.Open(csv);
        while (records.size() < count && !source.Eof()) {
            source.ReadLine();
            if (source.TakeRecord(record))
                records.push_back(record);
        }
        source.Close();
        if (records.empty())
            std::fprintf(stderr, "statement_step: no records read from %s; using synthetic rows\n", csv);
    }
    // Synthetic rows: half-width katakana and two-byte kanji of the usual lengths.
    for (std::size_t i = records.size(); i < count; ++i) {
        char zip[16];
        std::snprintf(zip, sizeof zip, "%07zu", i % 10000000);
        const char kana = static_cast<char>('\xB1' + static_cast<char>(i % 40));
        const std::string kanji = "\x93\x8C\x8B\x9E";
        records.push_back({{zip, std::string(6, kana), std::string(12 + i % 8, kana), std::string(i % 3 ? 10 : 0, kana),
                            kanji + kanji.substr(0, 2), kanji + kanji + kanji, i % 3 ? kanji + kanji : std::string()}});
    }
    records.resize(count);
    return records;
}

// Client calls counted by entry point: the bound slots are pointed at
// counting forwarders for the length of one pass, which also add up the time
// spent inside each entry point and the time before it, since the previous
// call returned.
struct TCallTimes {
    long Calls = 0;
    std::chrono::steady_clock::duration Inside{};
    std::chrono::steady_clock::duration Before{};
};

std::map<std::string_view, TCallTimes>& CallTimes()
{
    static std::map<std::string_view, TCallTimes> times;
    return times;
}

std::chrono::steady_clock::time_point& LastReturn()
{
    static std::chrono::steady_clock::time_point last;
    return last;
}

template <typename F, const char* Name>
struct TCounter;

template <typename R, typename... A, const char* Name>
struct TCounter<R (*)(A...), Name> {
    static inline R (*real)(A...) = nullptr;
    static R Call(A... args)
    {
        TCallTimes& times = CallTimes()[Name];
        ++times.Calls;
        const auto start = std::chrono::steady_clock::now();
        times.Before += start - LastReturn();
        const R result = real(args...);
        LastReturn() = std::chrono::steady_clock::now();
        times.Inside += LastReturn() - start;
        return result;
    }
};

#define COUNTED_ENTRY_POINTS(X)                                                                          \
    X(isc_start_multiple) X(isc_commit_transaction) X(isc_rollback_transaction)                          \
    X(isc_dsql_alloc_statement2) X(isc_dsql_prepare) X(isc_dsql_sql_info) X(isc_dsql_describe)           \
    X(isc_dsql_describe_bind) X(isc_dsql_execute) X(isc_dsql_execute2) X(isc_dsql_set_cursor_name)       \
    X(isc_dsql_fetch) X(isc_dsql_free_statement) X(isc_vax_integer) X(isc_sqlcode) X(isc_interprete)     \
    X(isc_database_info)

#define DECLARE_NAME(name) constexpr char kName_##name[] = #name;
COUNTED_ENTRY_POINTS(DECLARE_NAME)
#undef DECLARE_NAME

class TCountingCalls {
public:
    TCountingCalls() : m_api(const_cast<TClientApi&>(ClientApi())), m_saved(m_api)
    {
#define INSTALL(name)                                                           \
    TCounter<T##name, kName_##name>::real = m_api.name;                        \
    m_api.name = &TCounter<T##name, kName_##name>::Call;
        COUNTED_ENTRY_POINTS(INSTALL)
#undef INSTALL
        CallTimes().clear();
    }
    ~TCountingCalls() { m_api = m_saved; }

private:
    TClientApi& m_api;
    TClientApi m_saved;
};

// What a variant's counted blocks add up to.
struct TSplit {
    std::map<std::string_view, TCallTimes> Calls;
    std::chrono::steady_clock::duration Total{};
};

// The calls per row, and how the time divides between the client library and
// everything around it.
void PrintSplit(const char* variant, const TSplit& split, long rows)
{
    long total = 0;
    std::chrono::steady_clock::duration client{};
    for (const auto& [name, times] : split.Calls) {
        total += times.Calls;
        client += times.Inside;
    }
    std::printf("  %-7s %.2f calls/row\n", variant, static_cast<double>(total) / rows);
    for (const auto& [name, times] : split.Calls)
        std::printf("    %-26.*s %5.2f calls/row  %7.2f us/row inside  %5.2f us/row before it\n",
                    static_cast<int>(name.size()), name.data(), static_cast<double>(times.Calls) / rows,
                    Seconds(times.Inside) * 1e6 / rows, Seconds(times.Before) * 1e6 / rows);
    std::printf("  %-7s %7.1f us/row inside the client library, %5.1f us/row outside it\n", variant,
                Seconds(client) * 1e6 / rows, Seconds(split.Total - client) * 1e6 / rows);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: statement_step TARGET [N] [--async-writes] [--csv KEN_ALL.CSV]\n");
        return 2;
    }
    const std::string target = argv[1];
    long n = 20000;
    const char* csv = nullptr;
    bool asyncWrites = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--async-writes") == 0)
            asyncWrites = true;
        else if (std::strcmp(argv[i], "--csv") == 0 && i + 1 < argc)
            csv = argv[++i];
        else
            n = std::atol(argv[i]);
    }
    if (n <= 0) {
        std::fprintf(stderr, "statement_step: N must be positive\n");
        return 2;
    }
    constexpr long kWarmUp = 100;
    constexpr long kCounted = 2000;
    constexpr long kBlock = 100;
    try {
        const std::vector<TDictionaryRecord> records =
            LoadRecords(static_cast<std::size_t>(2 * (n + kWarmUp + kCounted)), csv);
        TColumnWidths widths;
        widths.fill(1);   // a column no record fills still gets a width the server takes
        for (const TDictionaryRecord& r : records)
            WidenColumns(widths, r.Slots);

        std::vector<std::string> extraParams;
        if (asyncWrites)
            extraParams.push_back("force_write=0");
        TBenchComponents components(target, extraParams);
        TIBDatabase& database = components.Database;
        TIBTransaction& transaction = components.Transaction;
        TIBQuery& query = components.Query;

        TDictionaryBuild build(database, transaction, query, widths);
        build.DropDictionaryTable();
        if (!build.CreateDictionaryTable()) {
            std::fprintf(stderr, "statement_step: CREATE TABLE failed\n");
            return 1;
        }

        std::size_t next = 0;
        long failures = 0;
        TStringList lines;
        auto layer = [&](long rows) {
            for (long i = 0; i < rows; ++i) {
                InsertLines(records[next++], lines);
                failures += !build.StatementStep(lines);
            }
        };
        std::string text;
        auto direct = [&](long rows) {
            for (long i = 0; i < rows; ++i) {
                InsertLines(records[next++], lines);
                failures += !DirectStep(database.HandleAddress(), lines.Lines(), text);
            }
        };

        layer(kWarmUp);
        direct(kWarmUp);
        std::chrono::steady_clock::duration layerTime{}, directTime{};
        double layerCpu = 0, directCpu = 0;
        bool layerFirst = true;
        for (long done = 0; done < n; done += kBlock) {
            const long rows = std::min(kBlock, n - done);
            for (int turn = 0; turn < 2; ++turn) {
                const bool runLayer = (turn == 0) == layerFirst;
                const double cpu = ThreadCpuSeconds();
                const auto start = std::chrono::steady_clock::now();
                if (runLayer)
                    layer(rows);
                else
                    direct(rows);
                (runLayer ? layerTime : directTime) += std::chrono::steady_clock::now() - start;
                (runLayer ? layerCpu : directCpu) += ThreadCpuSeconds() - cpu;
            }
            layerFirst = !layerFirst;
        }

        std::printf("statement_step: %ld rows each, %s, forced writes %s, rows from %s\n", n, target.c_str(),
                    asyncWrites ? "off" : "as the database has them", csv ? csv : "a synthetic set");
        std::printf("  layer   %8.3f s  %7.1f us/row   cpu %8.3f s  %7.1f us/row\n", Seconds(layerTime),
                    Seconds(layerTime) * 1e6 / n, layerCpu, layerCpu * 1e6 / n);
        std::printf("  direct  %8.3f s  %7.1f us/row   cpu %8.3f s  %7.1f us/row\n", Seconds(directTime),
                    Seconds(directTime) * 1e6 / n, directCpu, directCpu * 1e6 / n);
        std::printf("  ratio layer/direct %.4f   cpu %.4f\n", Seconds(layerTime) / Seconds(directTime),
                    layerCpu / directCpu);
        TSplit splits[2];   // layer, direct
        {
            TCountingCalls counting;
            for (long done = 0; done < kCounted; done += kBlock) {
                for (int turn = 0; turn < 2; ++turn) {
                    const bool runLayer = (turn == 0) == layerFirst;
                    TSplit& split = splits[runLayer ? 0 : 1];
                    CallTimes().clear();
                    const auto start = std::chrono::steady_clock::now();
                    LastReturn() = start;
                    if (runLayer)
                        layer(kBlock);
                    else
                        direct(kBlock);
                    split.Total += std::chrono::steady_clock::now() - start;
                    for (const auto& [name, times] : CallTimes()) {
                        TCallTimes& sum = split.Calls[name];
                        sum.Calls += times.Calls;
                        sum.Inside += times.Inside;
                        sum.Before += times.Before;
                    }
                }
                layerFirst = !layerFirst;
            }
        }
        PrintSplit("layer", splits[0], kCounted);
        PrintSplit("direct", splits[1], kCounted);
        if (failures)
            std::printf("  %ld inserts failed\n", failures);
        std::printf("  rows stored %lld of %zu\n", StoredRows(database, transaction), next);
        transaction.SetActive(false);
        database.SetConnected(false);
        return failures ? 1 : 0;
    } catch (const Exception& e) {
        std::fprintf(stderr, "statement_step: %s\n", e.Message().c_str());
        return 1;
    }
}
