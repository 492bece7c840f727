// The source file read from a zip archive: small archives written here with
// libzip, and the real ken_all.zip against its own unpacked CSV.
#include "TempFolder.h"

#include <SourceFile.h>
#include <SysUtils.h>
#include <ZipEntryReader.h>

#include <gtest/gtest.h>

#include <zip.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Entry {
    std::string name;
    std::string data;
    zip_int32_t method = ZIP_CM_DEFLATE;
    bool encrypted = false;
};

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The archive's bytes, as libzip writes them.
std::string ZipBytes(const fs::path& dir, const std::vector<Entry>& entries)
{
    const std::string path = (dir / "made.zip").string();
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(archive, nullptr) << error;
    if (!archive)
        return {};
    for (const Entry& e : entries) {
        if (e.name.back() == '/') {
            EXPECT_GE(zip_dir_add(archive, e.name.c_str(), ZIP_FL_ENC_RAW), 0) << e.name;
            continue;
        }
        zip_source_t* source = zip_source_buffer(archive, e.data.data(), e.data.size(), 0);
        const zip_int64_t index = zip_file_add(archive, e.name.c_str(), source, ZIP_FL_ENC_RAW);
        EXPECT_GE(index, 0) << e.name;
        EXPECT_EQ(zip_set_file_compression(archive, index, e.method, 0), 0);
        if (e.encrypted) {
            EXPECT_EQ(zip_file_set_encryption(archive, index, ZIP_EM_AES_256, "secret"), 0);
        }
    }
    EXPECT_EQ(zip_close(archive), 0);
    std::string bytes = ReadBytes(path);
    fs::remove(path);
    return bytes;
}

// Every line of the file through TSourceFile; the message of the error that
// ended the reading, if one did.
std::vector<std::string> ReadLines(const std::string& path, std::string& error)
{
    std::vector<std::string> lines;
    TSourceFile source;
    try {
        source.Open(path);
        while (!source.Eof()) {
            source.ReadLine();
            lines.push_back(source.Line());
        }
        source.Close();
    } catch (const EInOutError& e) {
        error = e.Message();
    }
    return lines;
}

const std::string Text = "0600000,a,b\r\nx\ry\n\x1A" "after\r\n";   // a lone CR, then Ctrl-Z
const std::vector<std::string> TextLines = {"0600000,a,b", "xy"};

} // namespace

TEST(ZipSource, ReadsTheOneCsvEntryByTheTextFileRules)
{
    const TTempFolder folder("kx27_zip");
    const struct {
        const char* name;
        const char* file;   // the name does not decide: the first bytes do
        std::vector<Entry> entries;
    } cases[] = {
        {"upper case, stored", "ken_all.zip", {{"KEN_ALL.CSV", Text, ZIP_CM_STORE}}},
        {"lower case, deflated", "KEN_ALL.CSV", {{"ken_all.csv", Text, ZIP_CM_DEFLATE}}},
        {"beside other entries, in a folder", "data", {{"readme.txt", "x"}, {"dir/", ""}, {"dir/Ken.Csv", Text}}},
    };
    for (const auto& c : cases) {
        const std::string path = (folder.Path() / c.file).string();
        WriteBytes(path, ZipBytes(folder.Path(), c.entries));
        std::string error;
        EXPECT_EQ(ReadLines(path, error), TextLines) << c.name;
        EXPECT_EQ(error, "") << c.name;
    }

    const std::string plain = (folder.Path() / "plain.zip").string();   // a CSV by any name is read as text
    WriteBytes(plain, Text);
    std::string error;
    EXPECT_EQ(ReadLines(plain, error), TextLines);
}

// A second reading of the file opened, after another file took its name by a
// rename: the same lines and the same fingerprint, for a CSV and for a zip.
// The name now opens the other file.
TEST(ZipSource, RewindReadsTheFileOpenedAgain)
{
    const TTempFolder folder("kx27_zip");
    const std::string path = (folder.Path() / "KEN_ALL.CSV").string();
    for (const bool zipped : {false, true}) {
        const auto bytes = [&](const std::string& text) {
            return zipped ? ZipBytes(folder.Path(), {{"KEN_ALL.CSV", text}}) : text;
        };
        const auto readAll = [](TSourceFile& source) {
            std::vector<std::string> lines;
            while (!source.Eof()) {
                source.ReadLine();
                lines.push_back(source.Line());
            }
            return lines;
        };
        WriteBytes(path, bytes(Text));
        TSourceFile source;
        source.Open(path);
        EXPECT_EQ(readAll(source), TextLines) << zipped;
        const TReadFingerprint first = source.Fingerprint();
        EXPECT_EQ(first.Bytes, 17u) << zipped;   // up to the 0x1A
        WriteBytes(path + ".next", bytes("0600000,a,c\r\nx\ry\n"));
        fs::rename(path + ".next", path);
        source.Rewind();
        EXPECT_EQ(readAll(source), TextLines) << zipped;
        EXPECT_EQ(source.Fingerprint(), first) << zipped;
        source.Close();

        TSourceFile renamed;
        renamed.Open(path);
        EXPECT_EQ(readAll(renamed), (std::vector<std::string>{"0600000,a,c", "xy"})) << zipped;
        EXPECT_EQ(renamed.Fingerprint().Bytes, first.Bytes) << zipped;
        EXPECT_NE(renamed.Fingerprint().Checksum, first.Checksum) << zipped;
    }
}

// The limits of a strict reading: a line of 64 KiB is read and one byte
// more is refused, also without a line end, having read little more than
// the limit; a 0x1A as the last byte after a line end ends the file.
TEST(ZipSource, StrictReadingLimits)
{
    const std::string good = "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15\r\n";
    const auto longLine = [&](std::size_t size) {   // size bytes before its line end
        return good.substr(0, good.size() - 2) + std::string(size - (good.size() - 2), 'x') + "\r\n";
    };
    const struct {
        const char* name;
        std::string bytes;
        std::string wantError;   // after the path; empty: read to the end
        long wantRecords;
    } cases[] = {
        {"a line of 64 KiB", good + longLine(65536), "", 2},
        {"a line of 64 KiB and 1 byte", good + longLine(65537), " line 2: longer than 65536 bytes", 1},
        {"16 MiB without a line end", good + std::string(16 << 20, 'x'), " line 2: longer than 65536 bytes", 1},
        {"a 0x1A after the last line end", good + good + "\x1A", "", 2},
    };
    const TTempFolder folder("kx27_zip");
    const std::string path = (folder.Path() / "KEN_ALL.CSV").string();
    for (const auto& c : cases) {
        WriteBytes(path, c.bytes);
        TSourceFile source;
        source.ReadStrictly(KenAllLayout);
        source.Open(path);
        TDictionaryRecord record;
        std::string error;
        try {
            while (!source.Eof()) {
                source.ReadLine();
                EXPECT_TRUE(source.TakeRecord(record)) << c.name;
            }
        } catch (const EMalformedText& e) {
            error = e.Message();
        }
        EXPECT_EQ(error, c.wantError.empty() ? "" : path + c.wantError) << c.name;
        EXPECT_EQ(source.Fingerprint().Records, c.wantRecords) << c.name;
        EXPECT_LE(source.Fingerprint().Bytes, good.size() + 2 * 65536) << c.name;
    }
}

TEST(ZipSource, RefusesAnArchiveThatIsNotOneReadableCsv)
{
    const TTempFolder folder("kx27_zip");
    const std::string good = ZipBytes(folder.Path(), {{"KEN_ALL.CSV", Text + std::string(100, 'z'), ZIP_CM_STORE}});
    // Bytes changed inside the stored data, where only the CRC tells: in the
    // text, and after the 0x1A that ends the text.
    std::string flippedText = good, flippedAfterEnd = good;
    flippedText[flippedText.find("0600000")] ^= 0x01;
    flippedAfterEnd[flippedAfterEnd.find("after")] ^= 0x20;
    const struct {
        const char* name;
        std::string bytes;
        std::string want;
    } cases[] = {
        {"no csv", ZipBytes(folder.Path(), {{"KEN_ALL.TXT", Text}, {"csv/", ""}}),
         "CSV \x83t\x83@\x83" "C\x83\x8B\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1"},   // CSV ファイルがありません
        {"empty archive", std::string("PK\x05\x06", 4) + std::string(18, '\0'),
         "CSV \x83t\x83@\x83" "C\x83\x8B\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1"},   // CSV ファイルがありません
        {"two csvs", ZipBytes(folder.Path(), {{"a.csv", Text}, {"B.CSV", Text}}),
         "CSV \x83t\x83@\x83" "C\x83\x8B\x82\xAA 2 \x8C\xC2\x82\xA0\x82\xE8\x82\xDC\x82\xB7"},   // CSV ファイルが 2 個あります
        {"truncated at the end", good.substr(0, good.size() - 1),
         "\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xE9\x82\xA9\x81" "A\x93r\x92\x86\x82\xC5\x90\xD8\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7"},   // 壊れているか、途中で切れています
        {"truncated in the data", good.substr(0, 60),
         "\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xE9\x82\xA9\x81" "A\x93r\x92\x86\x82\xC5\x90\xD8\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7"},   // 壊れているか、途中で切れています
        {"CRC error", flippedText, "\x82\xAA\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7"},   // が壊れています
        {"CRC error after the text", flippedAfterEnd, "\x82\xAA\x89\xF3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7"},
        {"encrypted", ZipBytes(folder.Path(), {{"KEN_ALL.CSV", Text, ZIP_CM_DEFLATE, true}}),
         "\x88\xC3\x8D\x86\x89\xBB\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7"},   // 暗号化されています
    };
    const std::string path = (folder.Path() / "KEN_ALL.zip").string();
    for (const auto& c : cases) {
        WriteBytes(path, c.bytes);
        std::string error;
        ReadLines(path, error);
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << c.name << ": " << error;
        EXPECT_NE(error.find(c.want), std::string::npos) << c.name << ": " << error;
    }
}

// The limit is checked against the size the archive states, before a byte is
// unpacked.
TEST(ZipSource, RefusesAnEntryOverTheSizeLimit)
{
    const TTempFolder folder("kx27_zip");
    const std::string path = (folder.Path() / "big.zip").string();
    WriteBytes(path, ZipBytes(folder.Path(), {{"KEN_ALL.CSV", "0123456789"}}));
    EXPECT_NO_THROW(TZipEntryReader(path, 10));
    try {
        TZipEntryReader(path, 9);
        FAIL() << "an entry over the limit was opened";
    } catch (const EInOutError& e) {
        EXPECT_NE(e.Message().find("\x93W\x8AJ\x82\xB7\x82\xE9\x82\xC6 10 \x83o\x83" "C\x83g\x82\xC9\x82\xC8\x82\xE8\x81" "A\x8F\xE3\x8C\xC0\x82\xCC 9 \x83o\x83" "C\x83g\x82\xF0\x92\xB4\x82\xA6\x82\xC4\x82\xA2\x82\xDC\x82\xB7"),   // 展開すると 10 バイトになり、上限の 9 バイトを超えています
                  std::string::npos)
            << e.Message();
    }
    EXPECT_EQ(MaxZipEntrySize, 512u << 20);
}

TEST(ZipSource, RealArchiveGivesTheLinesOfItsCsv)
{
    if (!fs::exists(KX27_KEN_ALL_ZIP))
        GTEST_SKIP() << KX27_KEN_ALL_ZIP << " is not there";
    if (std::system("command -v unzip >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "unzip is missing";
    const TTempFolder folder("kx27_zip");
    const std::string unzip = "unzip -q -o '" + std::string(KX27_KEN_ALL_ZIP) + "' -d '" + folder.Path().string() + "'";
    ASSERT_EQ(std::system(unzip.c_str()), 0) << unzip;
    const fs::path csv = *fs::directory_iterator(folder.Path());

    TSourceFile zipped, plain;
    zipped.Open(KX27_KEN_ALL_ZIP);
    plain.Open(csv.string());
    TDictionaryRecord record;
    long lines = 0, records = 0;
    while (!plain.Eof()) {
        ASSERT_FALSE(zipped.Eof()) << "the zip ends at line " << lines;
        plain.ReadLine();
        zipped.ReadLine();
        ++lines;
        ASSERT_EQ(zipped.Line(), plain.Line()) << "line " << lines;
        records += zipped.TakeRecord(record) ? 1 : 0;
    }
    EXPECT_TRUE(zipped.Eof());
    zipped.Close();
    plain.Close();
    EXPECT_EQ(lines, 124825);
    EXPECT_EQ(records, 124825);
}
