// result_set_fetch TARGET [KEN_ALL.CSV] [--rounds N] [--keep]
//
// Fills ZIPDIC in TARGET with every record of KEN_ALL.CSV (default: unpacked
// from japanpost/ken_all.zip in the checkout), then reads the whole
// table two ways, in alternating rounds against the same connection:
//  - through IBQuery1 as the test search does: Open, First, then Fields 0-6
//    AsString and Next until Eof, then Close;
//  - with the client calls written directly: allocate, prepare, describe,
//    execute, fetch until status 100, copy the seven values into strings.
// Prints the best time of each, the median of the rounds' ratios (on a
// shared machine a single pass can be slowed by a tenth or more, so the
// ratio of each round, whose two passes ran back to back, is the steadier
// figure), the peak memory of the layer's pass (the process's peak resident
// size, reset before the pass) and how often the row cache grew. Each round
// also times the row cache's memory traffic alone: as many rows of the
// record buffer's size copied into a block grown by the same chunks, on
// fresh memory as the layer's pass meets it. That part is the price of the
// cache itself, which the direct loop does not keep. --keep reads the table
// TARGET holds already.
//
// TARGET is a database file for the embedded engine or "127.0.0.1:/path" (or
// "127.0.0.1/PORT:/path") for a local server (SYSDBA, copperjam); it is
// created when it does not exist, and its table ZIPDIC is replaced.
#include "BenchSupport.h"

#include <DictionaryBuild.h>
#include <DictionaryRecord.h>
#include <SourceFile.h>

#include <IBIntf.h>
#include <IBQuery.h>

#include <SysUtils.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using TRecord = std::array<std::string, 7>;

std::vector<TRecord> ReadRecords(const std::string& path)
{
    std::vector<TRecord> records;
    TSourceFile file;
    TDictionaryRecord record;
    file.Open(path);
    while (!file.Eof()) {
        file.ReadLine();
        if (file.TakeRecord(record))
            records.push_back(record.Slots);
    }
    file.Close();
    return records;
}

// KEN_ALL.CSV unpacked from the shipped zip into a temporary file.
std::string UnpackedCsv()
{
    const std::string zip = std::string(KX27_SOURCE_DIR) + "/japanpost/ken_all.zip";
    char path[] = "/tmp/kx27-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp");
    close(fd);
    const std::string command = "unzip -p '" + zip + "' KEN_ALL.CSV > '" + path + "'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("cannot unpack " + zip);
    return path;
}

long PeakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

void ResetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

void Fill(TIBDatabase& database, TIBTransaction& transaction, TIBQuery& query, const std::vector<TRecord>& records)
{
    // The table as the build makes it, with the widths of these records.
    TColumnWidths widths;
    widths.fill(1);   // a column no record fills still gets a width the server takes
    for (const TRecord& r : records)
        WidenColumns(widths, r);
    TDictionaryBuild build(database, transaction, query, widths);
    build.DropDictionaryTable();   // refused when there is none
    if (!build.CreateDictionaryTable())
        throw std::runtime_error("CREATE TABLE ZIPDIC refused");
    transaction.StartTransaction();
    TIBSQL insert;
    insert.SetDatabase(&database);
    insert.SetTransaction(&transaction);
    insert.SQL().Add("INSERT INTO ZIPDIC VALUES (:Z, :K1, :K2, :K3, :R1, :R2, :R3)");
    insert.Prepare();
    for (const TRecord& r : records) {
        for (int i = 0; i < 7; ++i) {
            TIBXSQLVAR& var = insert.InputArea().Item(i);
            if (r[static_cast<std::size_t>(i)].empty())
                var.AssignNull(true);
            else
                var.AssignText(r[static_cast<std::size_t>(i)]);
        }
        insert.ExecQuery();
    }
    insert.Close();
    transaction.Commit();
}

// The test search's loop over the whole table; returns the rows read.
__attribute__((noinline)) long LayerPass(TIBTransaction& transaction, TIBQuery& query, std::size_t& bytes)
{
    query.SetActive(false);
    transaction.SetActive(false);
    query.SetParamCheck(true);
    query.SQL().Clear();
    query.SQL().Add("SELECT * FROM ZIPDIC;");
    query.Open();
    query.First();
    long rows = 0;
    while (!query.Eof()) {
        for (int i = 0; i < 7; ++i)
            bytes += query.Fields()[i].AsString().size();
        ++rows;
        query.Next();
    }
    return rows;
}

// The row cache's writes without the rest of the layer: rows record-sized
// copies into a block grown by chunks of chunkRows records.
__attribute__((noinline)) double CacheWritesAlone(long rows, std::size_t recordSize, std::size_t chunkRows)
{
    std::vector<char> record(recordSize, '\x5A');
    const auto start = std::chrono::steady_clock::now();
    const std::size_t chunk = recordSize * chunkRows;
    char* block = static_cast<char*>(std::malloc(chunk));
    std::size_t size = chunk;
    for (long row = 0; row < rows && block; ++row) {
        const std::size_t position = static_cast<std::size_t>(row) * recordSize;
        std::memcpy(block + position, record.data(), recordSize);
        if (position + recordSize >= size) {
            size += chunk;
            char* grown = static_cast<char*>(std::realloc(block, size));
            if (!grown)
                std::free(block);
            block = grown;
        }
        record[static_cast<std::size_t>(row) % recordSize]++;
    }
    const double seconds = Seconds(std::chrono::steady_clock::now() - start);
    if (!block)
        throw std::runtime_error("out of memory");
    std::free(block);
    return seconds;
}

__attribute__((noinline)) long DirectPass(isc_db_handle* database, std::size_t& bytes)
{
    const TClientApi& api = ClientApi();
    ISC_STATUS_ARRAY status;
    auto check = [&](ISC_STATUS s) {
        if (s)
            throw std::runtime_error("client call failed");
    };
    isc_tr_handle transaction = 0;
    ISC_TEB teb{database, 0, nullptr};
    check(api.isc_start_multiple(status, &transaction, 1, &teb));
    isc_stmt_handle statement = 0;
    check(api.isc_dsql_alloc_statement2(status, database, &statement));
    alignas(XSQLDA) char area[XSQLDA_LENGTH(7)] = {};
    XSQLDA* out = reinterpret_cast<XSQLDA*>(area);
    out->version = SQLDA_VERSION1;
    out->sqln = 7;
    const char* sql = "SELECT * FROM ZIPDIC;\r\n";
    check(api.isc_dsql_prepare(status, &transaction, &statement, 0, sql, 3, out));
    std::vector<std::vector<char>> data(7);
    std::array<short, 7> nulls{};
    for (int i = 0; i < 7; ++i) {
        data[static_cast<std::size_t>(i)].resize(static_cast<std::size_t>(out->sqlvar[i].sqllen) + 2);
        out->sqlvar[i].sqldata = data[static_cast<std::size_t>(i)].data();
        out->sqlvar[i].sqlind = &nulls[static_cast<std::size_t>(i)];
    }
    check(api.isc_dsql_execute2(status, &transaction, &statement, 3, nullptr, nullptr));
    long rows = 0;
    while (api.isc_dsql_fetch(status, &statement, 3, out) == 0) {
        for (std::size_t i = 0; i < 7; ++i) {
            std::string value;
            if (nulls[i] != -1) {
                const char* d = data[i].data();
                value.assign(d + 2, static_cast<std::size_t>(api.isc_vax_integer(d, 2)));
            }
            bytes += value.size();
        }
        ++rows;
    }
    api.isc_dsql_free_statement(status, &statement, DSQL_drop);
    api.isc_commit_transaction(status, &transaction);
    return rows;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: result_set_fetch TARGET [KEN_ALL.CSV] [--rounds N]\n");
        return 2;
    }
    const std::string target = argv[1];
    std::string csv;
    int rounds = 9;
    bool keep = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0)
            keep = true;
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else
            csv = argv[i];
    }
    try {
        std::vector<TRecord> records;
        if (!keep) {
            const bool unpacked = csv.empty();
            if (unpacked)
                csv = UnpackedCsv();
            records = ReadRecords(csv);
            if (unpacked)
                std::remove(csv.c_str());
        }

        TBenchComponents components(target);
        TIBDatabase& database = components.Database;
        TIBTransaction& transaction = components.Transaction;
        TIBQuery& query = components.Query;

        auto start = std::chrono::steady_clock::now();
        if (!keep) {
            Fill(database, transaction, query, records);
            std::printf("result_set_fetch: %zu records stored in %.2f s\n", records.size(),
                        Seconds(std::chrono::steady_clock::now() - start));
        }

        double bestLayer = 1e9, bestDirect = 1e9, bestLayerCpu = 1e9, bestDirectCpu = 1e9;
        long peakKiB = 0;
        int growths = 0;
        std::size_t cacheBytes = 0;
        std::vector<double> ratios, cpuRatios, cacheShares;
        double bestCache = 1e9;
        for (int round = 0; round < rounds; ++round) {
            std::size_t layerBytes = 0, directBytes = 0;
            transaction.SetActive(false);
            ResetPeakResident();
            const long before = PeakResidentKiB();
            start = std::chrono::steady_clock::now();
            double cpu = ThreadCpuSeconds();
            const long layerRows = LayerPass(transaction, query, layerBytes);
            const double layerCpu = ThreadCpuSeconds() - cpu;
            const double layerWall = Seconds(std::chrono::steady_clock::now() - start);
            bestLayerCpu = std::min(bestLayerCpu, layerCpu);
            bestLayer = std::min(bestLayer, layerWall);
            peakKiB = std::max(peakKiB, PeakResidentKiB() - before);
            growths = query.CacheGrowCount();
            cacheBytes = query.CacheSize();
            const std::size_t recordSize = static_cast<std::size_t>(query.RecordBufferSize());
            query.Close();
            transaction.SetActive(false);

            start = std::chrono::steady_clock::now();
            cpu = ThreadCpuSeconds();
            const long directRows = DirectPass(database.HandleAddress(), directBytes);
            const double directCpu = ThreadCpuSeconds() - cpu;
            const double directWall = Seconds(std::chrono::steady_clock::now() - start);
            bestDirectCpu = std::min(bestDirectCpu, directCpu);
            bestDirect = std::min(bestDirect, directWall);
            ratios.push_back(layerWall / directWall);
            cpuRatios.push_back(layerCpu / directCpu);
            const double cache = CacheWritesAlone(layerRows, recordSize, static_cast<std::size_t>(query.BufferChunks()));
            bestCache = std::min(bestCache, cache);
            cacheShares.push_back(cache / directWall);
            if (layerRows != directRows || layerBytes != directBytes) {
                std::fprintf(stderr, "result_set_fetch: the passes differ: %ld rows / %zu bytes against %ld / %zu\n",
                             layerRows, layerBytes, directRows, directBytes);
                return 1;
            }
            std::printf("  round %d: %ld rows, %zu value bytes, ratio %.3f\n", round + 1, layerRows, layerBytes,
                        ratios.back());
        }
        std::printf("         wall     thread CPU   (best of %d)\n", rounds);
        std::printf("layer   %.3f s  %.3f s\ndirect  %.3f s  %.3f s\nratio   %.3f    %.3f   (best against best)\n"
                    "median  %.3f    %.3f   (of the rounds' ratios)\n",
                    bestLayer, bestLayerCpu, bestDirect, bestDirectCpu, bestLayer / bestDirect,
                    bestLayerCpu / bestDirectCpu, Median(ratios), Median(cpuRatios));
        std::printf("row cache: %zu bytes, grew %d times; peak memory of the layer's pass +%ld KiB\n", cacheBytes,
                    growths, peakKiB);
        std::printf("row cache writes alone %.3f s: median %.3f of the direct pass, which leaves the rest of the "
                    "layer at %.3f\n",
                    bestCache, Median(cacheShares), Median(ratios) - Median(cacheShares));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "result_set_fetch: %s\n", e.what());
        return 1;
    }
    return 0;
}
