// measure_pass KEN_ALL.CSV
//
// Times the measuring pass of the dictionary build over a source file next to
// a plain read of the same file that only counts line ends, and prints the
// record count, the six widths, the median of 5 runs of each, their ratio and
// the peak resident memory of the process; then the strict reading the
// commands use (every column split and counted, every byte checked) against
// the window's pass. Run it on the file doubled as well:
// the peak must stay where it is.
#include "BenchSupport.h"

#include <MeasurePass.h>

#include <SysUtils.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include <sys/resource.h>

namespace {

long CountLineEnds(const char* path)
{
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return -1;
    static char buffer[1 << 16];
    long lineEnds = 0;
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        for (const char* p = buffer; (p = static_cast<const char*>(std::memchr(p, '\n', buffer + got - p))); ++p)
            ++lineEnds;
    std::fclose(file);
    return lineEnds;
}

template <typename F>
double MedianMilliseconds(F run)
{
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        times.push_back(took.count());
    }
    std::sort(times.begin(), times.end());
    return times[2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: measure_pass KEN_ALL.CSV\n");
        return 2;
    }
    const char* path = argv[1];
    TSilentView view;
    TColumnWidths widths{};
    int records = 0;
    long lineEnds = 0;
    try {
        // once to bring the file into the page cache
        MeasurePass(path, widths, records, view);
        lineEnds = CountLineEnds(path);

        TMeasureOutcome outcome = moComplete;
        const double baseline = MedianMilliseconds([&] { lineEnds = CountLineEnds(path); });
        const double pass = MedianMilliseconds([&] { outcome = MeasurePass(path, widths, records, view).Outcome; });
        TMeasureResult strict;
        TColumnWidths strictWidths{};
        int strictRecords = 0;
        const double strictPass = MedianMilliseconds(
            [&] { strict = MeasurePass(path, strictWidths, strictRecords, view, KenAllLayout); });
        if (strict.ReadError)
            std::rethrow_exception(strict.ReadError);
        if (lineEnds < 0 || outcome != moComplete || strictRecords != records || strictWidths != widths) {
            std::fprintf(stderr, "measure_pass: reading %s failed\n", path);
            return 1;
        }

        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("file            %s\n", path);
        std::printf("line ends       %ld\n", lineEnds);
        std::printf("records         %d\n", records);
        std::printf("widths          ADK1 %d  ADK2 %d  ADK3 %d  ADR1 %d  ADR2 %d  ADR3 %d\n",
                    widths[0], widths[1], widths[2], widths[3], widths[4], widths[5]);
        std::printf("line-end count  %8.2f ms (median of 5)\n", baseline);
        std::printf("measuring pass  %8.2f ms (median of 5)\n", pass);
        std::printf("ratio           %8.2f\n", baseline > 0 ? pass / baseline : 0.0);
        std::printf("strict pass     %8.2f ms (median of 5)\n", strictPass);
        std::printf("strict / window %8.2f\n", pass > 0 ? strictPass / pass : 0.0);
        std::printf("peak RSS        %ld KiB\n", usage.ru_maxrss);
    } catch (const Exception& e) {
        std::fprintf(stderr, "measure_pass: %s\n", e.what());
        return 1;
    }
    return 0;
}
