// dictionary_build KEN_ALL.CSV TARGET [--records N] [--forced-writes on|off] [--rounds R]
//
// Runs the whole dictionary build through the code Button1Click runs
// (measuring pass, table check, DROP, CREATE, insert pass, every statement a
// statement step through IBQuery1) with a view that only counts repaints,
// and side by side, against the same database in the same run, the same
// build written with the client library's calls directly: the same measuring
// pass, then per statement start, allocate, prepare, statement-type
// information, execute, free, commit, with the same statement texts. Prints
// the wall-clock time, the calling thread's CPU time and its user share of
// each (the embedded engine works in the calling thread), their ratios, the
// repaint count and the rows stored. With several rounds it also prints each
// round's times and the median of the rounds' ratios: on a shared machine one
// build can be slowed by a tenth or more, and the two builds of a round ran
// back to back. An untimed build made with the direct calls comes first, so
// that every timed run meets the same database: grown to size, with a full
// table to drop.
//
// TARGET is a database file for the embedded engine or "127.0.0.1:/path" for
// the local server (SYSDBA, copperjam); it is created when missing.
// --records N builds from the first N records of the file only (written to a
// temporary file beside nothing of the user's). --forced-writes sets the
// database's forced writes for good through the attach. With --rounds R the
// pair runs R times, alternating which goes first.
#include "BenchSupport.h"

#include <DictionaryBuild.h>
#include <IBIntf.h>
#include <MeasurePass.h>
#include <SourceFile.h>

#include <SysUtils.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

// The build with the client calls: same passes, same texts, no components.
long DirectBuild(TIBDatabase& database, const std::string& path)
{
    TSilentView view;
    TColumnWidths widths{};
    int readCount = 0;
    if (MeasurePass(path, widths, readCount, view).Outcome != moComplete)
        throw Exception("measuring pass did not complete");
    TStringList lines;
    std::string text;
    DropLines(lines);
    DirectStep(database.HandleAddress(), lines.Lines(), text);   // refused when there is no table
    CreateLines(widths, lines);
    if (!DirectStep(database.HandleAddress(), lines.Lines(), text))
        throw Exception("CREATE refused");
    TSourceFile source;
    TDictionaryRecord record;
    long failed = 0;
    source.Open(path);
    while (!source.Eof()) {
        source.ReadLine();
        if (!source.TakeRecord(record))
            continue;
        InsertLines(record, lines);
        failed += !DirectStep(database.HandleAddress(), lines.Lines(), text);
    }
    source.Close();
    return failed;
}

// User time alone: the kernel's share (a commit's disk flush with forced
// writes on) varies with the disk and hides what the code itself costs.
double ThreadUserSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
}

struct TTimes {
    double wall = 0;
    double cpu = 0;
    double user = 0;

    void Add(const TTimes& other)
    {
        wall += other.wall;
        cpu += other.cpu;
        user += other.user;
    }
};

template <typename F>
void Timed(TTimes& times, F run)
{
    const double cpu = ThreadCpuSeconds();
    const double user = ThreadUserSeconds();
    const auto start = std::chrono::steady_clock::now();
    run();
    times.wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    times.cpu += ThreadCpuSeconds() - cpu;
    times.user += ThreadUserSeconds() - user;
}

// The first n records' lines of the source, in a file of their own.
std::string FirstRecords(const std::string& path, long n)
{
    const std::string out = (std::filesystem::temp_directory_path() /
                             ("kx27_dictionary_build_" + std::to_string(getpid()) + ".csv"))
                                .string();
    TSourceFile source;
    TDictionaryRecord record;
    std::ofstream file(out, std::ios::binary);
    long taken = 0;
    source.Open(path);
    while (taken < n && !source.Eof()) {
        source.ReadLine();
        file << source.Line() << "\r\n";
        taken += source.TakeRecord(record);
    }
    source.Close();
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: dictionary_build KEN_ALL.CSV TARGET [--records N] [--forced-writes on|off] [--rounds R]\n");
        return 2;
    }
    const std::string source = argv[1];
    const std::string target = argv[2];
    long records = 0;
    int rounds = 1;
    const char* forcedWrites = nullptr;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--records") == 0)
            records = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--forced-writes") == 0)
            forcedWrites = argv[i + 1];
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    std::string path = source;
    try {
        if (records > 0)
            path = FirstRecords(source, records);

        std::vector<std::string> extraParams;
        if (forcedWrites)
            extraParams.push_back(std::string("force_write=") + (std::strcmp(forcedWrites, "off") == 0 ? "0" : "1"));
        TBenchComponents components(target, extraParams);
        TIBDatabase& database = components.Database;
        TIBTransaction& transaction = components.Transaction;
        TIBQuery& query = components.Query;

        TColumnWidths widths{};
        TDictionaryBuild build(database, transaction, query, widths);
        TCountingView view(database);
        TTimes layer, direct;
        long directFailed = 0;
        long long layerRows = 0, directRows = 0;
        // Untimed: the file grows to its size and every timed run then drops
        // a full table left by the run before, as a build on a used database does.
        DirectBuild(database, path);
        std::vector<double> wallRatios, cpuRatios, userRatios;
        for (int round = 0; round < rounds; ++round) {
            TTimes layerRound, directRound;
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn == 0) == (round % 2 == 0)) {
                    Timed(layerRound, [&] { build.Run(path, view); });
                    layerRows = StoredRows(database, transaction);
                } else {
                    Timed(directRound, [&] { directFailed += DirectBuild(database, path); });
                    directRows = StoredRows(database, transaction);
                }
            }
            wallRatios.push_back(layerRound.wall / directRound.wall);
            cpuRatios.push_back(layerRound.cpu / directRound.cpu);
            userRatios.push_back(layerRound.user / directRound.user);
            std::printf("  round %d: build %.3f s, direct %.3f s, ratio %.4f\n", round + 1, layerRound.wall,
                        directRound.wall, wallRatios.back());
            layer.Add(layerRound);
            direct.Add(directRound);
        }

        std::printf("dictionary_build: %d records read, %d inserted, %s, forced writes %s, %d round(s)\n",
                    build.Outcome().Read, build.Outcome().Sent, target.c_str(),
                    forcedWrites ? forcedWrites : "as the database has them", rounds);
        std::printf("  build   %9.3f s  cpu %9.3f s  user %9.3f s   rows stored %lld\n", layer.wall, layer.cpu,
                    layer.user, layerRows);
        std::printf("  direct  %9.3f s  cpu %9.3f s  user %9.3f s   rows stored %lld\n", direct.wall, direct.cpu,
                    direct.user, directRows);
        std::printf("  ratio build/direct %.4f   cpu %.4f   user %.4f   (totals)\n", layer.wall / direct.wall,
                    layer.cpu / direct.cpu, layer.user / direct.user);
        std::printf("  median %.4f         cpu %.4f   user %.4f   (of the rounds' ratios)\n", Median(wallRatios),
                    Median(cpuRatios), Median(userRatios));
        std::printf("  repaints %ld per build\n", view.Repaints / rounds);
        if (!view.Messages.empty())
            std::printf("  messages: %s", view.Messages.c_str());
        if (directFailed)
            std::printf("  %ld direct inserts refused\n", directFailed);
        transaction.SetActive(false);
        database.SetConnected(false);
    } catch (const Exception& e) {
        std::fprintf(stderr, "dictionary_build: %s\n", e.Message().c_str());
        if (path != source)
            std::filesystem::remove(path);
        return 1;
    }
    if (path != source)
        std::filesystem::remove(path);
    return 0;
}
