// UTF-8 source files: the encoding decided for each file, the fields turned
// into the CP932 the table keeps, and the real UTF-8 file of a month against
// the real Shift-JIS file of the same month.
#include "TempFolder.h"

#include <CommaText.h>
#include <DictionaryRecord.h>
#include <SourceEncoding.h>
#include <SourceFile.h>
#include <SysUtils.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iconv.h>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The test's own CP932 of a UTF-8 literal (glibc's iconv).
std::string Sjis(const std::string& utf8)
{
    const iconv_t cd = iconv_open("CP932", "UTF-8");
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    char* to = out.data();
    std::size_t inLeft = utf8.size();
    std::size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &to, &outLeft), static_cast<std::size_t>(-1)) << utf8;
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// A line of Japan Post's layout in UTF-8, the readings full-width as in
// utf_ken_all.csv or (halfWidth) half-width as in KEN_ALL.CSV.
std::string Utf8Line(const std::string& zip, const std::string& adk3, const std::string& adr3, bool halfWidth = false)
{
    return "01101,\"060  \",\"" + zip + "\",\"" + (halfWidth ? "ﾎｯｶｲﾄﾞｳ\",\"ｻｯﾎﾟﾛｼ" : "ホッカイドウ\",\"サッポロシ") +
           "\",\"" + adk3 + "\",\"北海道\",\"札幌市\",\"" + adr3 + "\",0,0,0,0,0,0\r\n";
}

// The record of the same address, slots joined with "|"; the town's reading
// and name in CP932.
std::string RecordOf(const std::string& zip, const std::string& adk3, const std::string& adr3)
{
    return zip + "|" + Sjis("ﾎｯｶｲﾄﾞｳ|ｻｯﾎﾟﾛｼ|") + adk3 + "|" + Sjis("北海道|札幌市|") + adr3;
}

// The same, as the Shift-JIS file gives it; the town's in UTF-8.
std::string Record(const std::string& zip, const std::string& adk3, const std::string& adr3)
{
    return RecordOf(zip, Sjis(adk3), Sjis(adr3));
}

std::string Joined(const TDictionaryRecord& record)
{
    std::string text;
    for (int k = 0; k < rsCount; ++k)
        text += (k ? "|" : "") + record.Slots[k];
    return text;
}

// Every record of the file through TSourceFile, as a pass reads it; the
// message of the error that ended the reading, if one did.
std::vector<std::string> ReadRecords(TSourceFile& source, const std::string& path, std::string& error)
{
    std::vector<std::string> records;
    TDictionaryRecord record;
    try {
        source.Open(path);
        while (!source.Eof()) {
            source.ReadLine();
            if (source.TakeRecord(record))
                records.push_back(Joined(record));
        }
        source.Close();
    } catch (const EInOutError& e) {
        source.CloseQuietly();
        error = e.Message();
    }
    return records;
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace

TEST(SourceEncoding, ConvertsToWhatTheShiftJisFileHolds)
{
    const struct {
        const char* name;
        std::string utf8;
        bool reading;
        std::string want;   // CP932
        std::vector<char32_t> missing;
    } cases[] = {
        {"voiced and semi-voiced", "ガパヴヷ", true, Sjis("ｶﾞﾊﾟｳﾞﾜﾞ"), {}},
        {"small to small", "ァッャョ", true, Sjis("ｧｯｬｮ"), {}},
        {"marks", "ー、・「」。゛゜", true, Sjis("ｰ､･｢｣｡ﾞﾟ"), {}},
        {"full-width ASCII and the minus", "（１−２Ａ．＜＞）！～", true, "(1-2A.<>)!~", {}},
        {"no half-width form", "ヮヶ東ｱ", true, Sjis("ヮヶ東ｱ"), {}},
        {"kanji columns keep the full width", "（１）ガー", false, Sjis("（１）ガー"), {}},
        {"glibc's minus and wave dash", "１−２〜", false, "\x82\x50\x81\x7C\x82\x51\x81\x60", {}},
        {"no CP932 form", "𠮷野", false, "\x81\xAC" + Sjis("野"), {0x20BB7}},
        {"no CP932 form in a reading", "ヸ𠮷ア", true, "\x81\xAC\x81\xAC" + Sjis("ｱ"), {0x30F8, 0x20BB7}},
        {"a sequence cut off at the end", "東\xE8\xA5", false, Sjis("東"), {}},
        {"ASCII", "a-1 \"'", true, "a-1 \"'", {}},
    };
    std::string out = "old";
    for (const auto& c : cases) {
        std::vector<char32_t> missing;
        Cp932FromUtf8(c.utf8, c.reading, out, missing);
        EXPECT_EQ(out, c.want) << c.name;
        EXPECT_EQ(missing, c.missing) << c.name;
    }
}

// Every pass decides anew from the file's own bytes, so a second pass over
// the same file through the same reader sees the same records.
TEST(SourceEncoding, DecidedForEachFile)
{
    const std::string bom = "\xEF\xBB\xBF";
    const std::string sjisLine = Sjis(Utf8Line("0600001", "ﾁｭｳｵｳ", "中央", true));
    const std::string first = Record("0600001", "ﾁｭｳｵｳ", "中央");
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::string> want;
        std::string error;   // the end of the message that stopped the reading
    } cases[] = {
        {"Shift-JIS", sjisLine, {first}, ""},
        {"UTF-8", Utf8Line("0600001", "チュウオウ", "中央"), {first}, ""},
        {"UTF-8 with a byte-order mark", bom + Utf8Line("0600001", "チュウオウ", "中央"), {first}, ""},
        {"ASCII lines before the first UTF-8 one", "a,b\r\n" + Utf8Line("0600001", "チュウオウ", "中央"), {first}, ""},
        {"a quote after a character ending in a lead-range byte", Utf8Line("0600001", "チュウオウ", "大阪市"),
         {Record("0600001", "ﾁｭｳｵｳ", "大阪市")}, ""},
        {"placeholder town on the converted text",
         Utf8Line("0600000", "イカニケイサイガナイバアイ", "以下に掲載がない場合"), {Record("0600000", "", "")}, ""},
        {"a Shift-JIS file with a line that is UTF-8 as well",
         sjisLine + "1,2,1000001,\xC3\xA9,b,c,d,e,f\r\n", {first, "1000001|\xC3\xA9|b|c|d|e|f"}, ""},
        {"UTF-8, then a Shift-JIS line", Utf8Line("0600001", "チュウオウ", "中央") + sjisLine, {first},
         "line 2 is not UTF-8 although the lines before it are UTF-8: a file that mixes encodings is not read"},
        {"a byte-order mark, then Shift-JIS", bom + sjisLine, {},
         "line 1 is not UTF-8 although the file begins with a UTF-8 byte-order mark: a file that mixes encodings "
         "is not read"},
    };
    const TTempFolder folder("kx27_encoding");
    const std::string path = (folder.Path() / "KEN_ALL.CSV").string();
    TSourceFile source;
    for (const auto& c : cases) {
        WriteBytes(path, c.bytes);
        for (int pass = 1; pass <= 2; ++pass) {
            std::string error;
            EXPECT_EQ(ReadRecords(source, path, error), c.want) << c.name << ", pass " << pass;
            EXPECT_EQ(error, c.error.empty() ? "" : path + " " + c.error) << c.name << ", pass " << pass;
        }
    }
}

TEST(SourceEncoding, CharacterWithoutACp932FormIsMarkedAndTold)
{
    const TTempFolder folder("kx27_encoding");
    const std::string path = (folder.Path() / "utf.csv").string();
    WriteBytes(path, Utf8Line("0600001", "ヨシノ", "𠮷野") + Utf8Line("0600002", "𠮷", "𠮷𠮷"));
    TSourceFile source;
    std::string error;
    EXPECT_EQ(ReadRecords(source, path, error),
              (std::vector<std::string>{RecordOf("0600001", Sjis("ﾖｼﾉ"), "\x81\xAC" + Sjis("野")),
                                        RecordOf("0600002", "\x81\xAC", "\x81\xAC\x81\xAC")}));
    const TReplacements& replaced = source.Replacements();
    ASSERT_EQ(replaced.Count, 4);
    ASSERT_EQ(replaced.Listed.size(), 4u);
    EXPECT_EQ(ReplacementText(replaced.Listed[0]), "line 1 column 9: U+20BB7 has no Shift-JIS form; stored as \x81\xAC");
    EXPECT_EQ(ReplacementText(replaced.Listed[1]), "line 2 column 6: U+20BB7 has no Shift-JIS form; stored as \x81\xAC");
    EXPECT_EQ(replaced.Listed[3].Line, 2);
    EXPECT_EQ(replaced.Listed[3].Column, 9);
}

// The UTF-8 file of a month gives, as a multiset, exactly the records of the
// Shift-JIS file of the same month once the towns that file splits over
// several lines are joined: a line whose town holds "（" and no "）" starts
// a group that runs to the first line whose town holds "）"; the towns are
// joined, and a line's reading only when it differs from the line before
// (some split towns repeat the whole reading on every line).
TEST(SourceEncoding, RealUtf8FileIsTheShiftJisFileWithSplitTownsJoined)
{
    if (!fs::exists(KX27_KEN_ALL_ZIP) || !fs::exists(KX27_UTF_KEN_ALL_ZIP))
        GTEST_SKIP() << "the real files are not there";
    const std::string open = "\x81\x69", close = "\x81\x6A";   // （ ）

    std::vector<std::string> legacy;
    {
        TSourceFile source;
        source.Open(KX27_KEN_ALL_ZIP);
        TStringList fields;
        std::vector<std::string> group;   // the fields of the group being joined
        std::string lastReading;
        TStringList joined;
        TDictionaryRecord record;
        auto emit = [&](const std::vector<std::string>& f) {
            joined.RawLines() = f;
            ASSERT_TRUE(BuildRecord(joined, record));
            legacy.push_back(Joined(record));
        };
        while (!source.Eof()) {
            source.ReadLine();
            SplitCommaText(source.Line(), fields);
            const std::vector<std::string>& f = fields.Lines();
            ASSERT_EQ(f.size(), 15u) << source.Line();
            if (!group.empty()) {
                group[8] += f[8];
                if (f[5] != lastReading)
                    group[5] += f[5];
                lastReading = f[5];
                if (CharAwarePos(close, f[8]) > 0) {
                    emit(group);
                    group.clear();
                }
            } else if (CharAwarePos(open, f[8]) > 0 && CharAwarePos(close, f[8]) == 0) {
                group = f;
                lastReading = f[5];
            } else {
                emit(f);
            }
        }
        source.Close();
        ASSERT_TRUE(group.empty());
    }
    std::vector<std::string> utf8;
    {
        TSourceFile source;
        std::string error;
        utf8 = ReadRecords(source, KX27_UTF_KEN_ALL_ZIP, error);
        ASSERT_EQ(error, "");
        EXPECT_TRUE(source.IsUtf8());
        EXPECT_EQ(source.Replacements().Count, 0);
    }
    EXPECT_EQ(utf8.size(), 124511u);
    std::sort(legacy.begin(), legacy.end());
    std::sort(utf8.begin(), utf8.end());
    std::vector<std::string> onlyLegacy, onlyUtf8;
    std::set_difference(legacy.begin(), legacy.end(), utf8.begin(), utf8.end(), std::back_inserter(onlyLegacy));
    std::set_difference(utf8.begin(), utf8.end(), legacy.begin(), legacy.end(), std::back_inserter(onlyUtf8));
    EXPECT_EQ(onlyLegacy.size(), 0u) << (onlyLegacy.empty() ? "" : onlyLegacy.front());
    EXPECT_EQ(onlyUtf8.size(), 0u) << (onlyUtf8.empty() ? "" : onlyUtf8.front());
    EXPECT_EQ(legacy.size(), utf8.size());
}
