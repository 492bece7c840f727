#include <CommaText.h>
#include <DictionaryRecord.h>
#include <UnitV.h>

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

namespace {

using Slots = std::array<std::string, rsCount>;

std::optional<Slots> RecordOf(const std::string& line)
{
    TStringList fields;
    SplitCommaText(line, fields);
    TDictionaryRecord record;
    if (!BuildRecord(fields, record))
        return std::nullopt;
    return record.Slots;
}

// CP932 texts of the samples
const std::string Tokyo = "\x93\x8C\x8B\x9E\x93\x73";                  // 東京都
const std::string Chiyoda = "\x90\xE7\x91\xE3\x93\x63\x8B\xE6";        // 千代田区
const std::string TokyoKana = "\xC4\xB3\xB7\xAE\xB3\xC4";               // ﾄｳｷｮｳﾄ
const std::string ChiyodaKana = "\xC1\xD6\xC0\xDE\xB8";                 // ﾁﾖﾀﾞｸ
const std::string TownKana = "\xCF\xD9\xC9\xB3\xC1";                    // ﾏﾙﾉｳﾁ
const std::string Marunouchi = "\x8A\xDB\x82\xCC\x93\xE0";              // 丸の内
const std::string FollowingEntries = "\x88\xC8\x89\xBA\x82\xC9";       // 以下に
const std::string NextTo = "\x82\xCC\x8E\x9F\x82\xC9";                 // の次に
const std::string NotListed = FollowingEntries + "\x8C\x66\x8D\xDA\x82\xAA\x82\xC8\x82\xA2\x8F\xEA\x8D\x87";   // 以下に掲載がない場合

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// A line shaped like the source file: 15 fields, the town in kanji given.
std::string SourceLine(const std::string& zip, const std::string& townKana, const std::string& town)
{
    return "13101,\"100  \"," + zip + "," + Quoted(TokyoKana) + "," + Quoted(ChiyodaKana) + "," + townKana + ","
        + Quoted(Tokyo) + "," + Quoted(Chiyoda) + "," + town + ",0,0,0,0,0,0";
}

} // namespace

TEST(DictionaryRecord, BuiltFromSourceLines)
{
    const struct {
        const char* name;
        std::string line;
        std::optional<Slots> want;
    } cases[] = {
        {"plain", SourceLine("\"1000005\"", Quoted(TownKana), Quoted(Marunouchi)),
         Slots{"1000005", TokyoKana, ChiyodaKana, TownKana, Tokyo, Chiyoda, Marunouchi}},
        {"以下に suppresses both towns", SourceLine("\"1000000\"", Quoted(TownKana), Quoted(NotListed)),
         Slots{"1000000", TokyoKana, ChiyodaKana, "", Tokyo, Chiyoda, ""}},
        {"の次に anywhere suppresses", SourceLine("\"1000000\"", Quoted(TownKana), Quoted(Marunouchi + NextTo + "1")),
         Slots{"1000000", TokyoKana, ChiyodaKana, "", Tokyo, Chiyoda, ""}},
        // The bytes of 以下に / の次に starting on the second byte of a character.
        {"以下に inside characters", SourceLine("1", "k", "\x82\x88\xC8\x89\xBA\x82\xC9"),   // ｈﾈ下に
         Slots{"1", TokyoKana, ChiyodaKana, "k", Tokyo, Chiyoda, "\x82\x88\xC8\x89\xBA\x82\xC9"}},
        {"の次に inside characters", SourceLine("1", "k", "\x93\x82\xCC\x8E\x9F\x82\xC9"),    // 唐ﾌ次に
         Slots{"1", TokyoKana, ChiyodaKana, "k", Tokyo, Chiyoda, "\x93\x82\xCC\x8E\x9F\x82\xC9"}},
        {"suppression in the kana town only has no effect", SourceLine("1", Quoted(NextTo), "x"),
         Slots{"1", TokyoKana, ChiyodaKana, NextTo, Tokyo, Chiyoda, "x"}},
        {"zip blanks trimmed", SourceLine("\" \t1000001  \"", "k", "t"),
         Slots{"1000001", TokyoKana, ChiyodaKana, "k", Tokyo, Chiyoda, "t"}},
        {"zip keeps inner quotes", SourceLine("\" 100\"\"0'01 \"", "k", "t"),
         Slots{"100\"0'01", TokyoKana, ChiyodaKana, "k", Tokyo, Chiyoda, "t"}},
        {"address quotes removed", SourceLine("1", "\"a\"\"b'c\"", "'\x93\x8C'"),
         Slots{"1", TokyoKana, ChiyodaKana, "abc", Tokyo, Chiyoda, "\x93\x8C"}},
        {"lone lead byte of the last field dropped", "1,2,3,4,5,6,7,8,\x93\x8C\x93",
         Slots{"3", "4", "5", "6", "7", "8", "\x93\x8C"}},
        // The unterminated quote loses its last byte, leaving a lone lead byte.
        {"unterminated quote cuts a character", "1,2,3,4,5,6,7,8,\"\x93\x8C\x8B\x9E",
         Slots{"3", "4", "5", "6", "7", "8", "\x93\x8C"}},
        {"blank inside unquoted field shifts", "1,2,1000001,\xB1 \xB2,b,c,d,e,f,g",
         Slots{"1000001", "\xB1", "\xB2", "b", "c", "d", "e"}},
        {"empty fields from two commas", "1,2,3,,,6,,,",
         Slots{"3", "", "", "6", "", "", ""}},
        {"comma last gives the ninth field", "1,2,3,4,5,6,7,8,", Slots{"3", "4", "5", "6", "7", "8", ""}},
        {"comma then blank last gives eight fields", "1,2,3,4,5,6,7,8, ", std::nullopt},
        {"eight fields", "1,2,3,4,5,6,7,8", std::nullopt},
        {"empty line", "", std::nullopt},
        {"zero byte cuts the line", std::string("1,2,3,4,5,6,7,8\0,9", 18), std::nullopt},
        {"control bytes removed from addresses", "1,2,3,\"a\x01" "b\x1F" "c\x7F\",5,6,7,8,9",
         Slots{"3", "abc\x7F", "5", "6", "7", "8", "9"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RecordOf(c.line), c.want) << c.name;
}

TEST(DictionaryRecord, ReusedRecordIsRebuiltWhole)
{
    TStringList fields;
    TDictionaryRecord record;
    SplitCommaText(SourceLine("1000005", TownKana, Marunouchi), fields);
    ASSERT_TRUE(BuildRecord(fields, record));
    SplitCommaText("a,b,c,,,,,,", fields);
    ASSERT_TRUE(BuildRecord(fields, record));
    EXPECT_EQ(record.Slots, (Slots{"c", "", "", "", "", "", ""}));
}

TEST(CharAwarePos, FindsOnlyOnCharacterBoundaries)
{
    const struct {
        const char* name;
        std::string part;
        std::string text;
        int want;
    } cases[] = {
        {"empty part", "", "abc", 0},
        {"empty text", "a", "", 0},
        {"part longer than text", "abcd", "abc", 0},
        {"ascii", "bc", "abcbc", 2},
        {"at the start", FollowingEntries, NotListed, 1},
        {"after half-width katakana", FollowingEntries, "\xB1" + FollowingEntries, 2},
        {"inside a character only", FollowingEntries, "\x82\x88\xC8\x89\xBA\x82\xC9", 0},   // ｈﾈ下に
        {"inside a character, then on a boundary", FollowingEntries,
         "\x82\x88\xC8\x89\xBA\x82\xC9" + FollowingEntries, 8},
        {"0x5C as a second byte is skipped", "\x5C", "\x83\x5C\x5C", 3},                 // ソ then backslash
        {"second byte looks like a letter", "A", "\x83\x41" "A", 3},                     // ア then A
        {"lead byte last is a character", "\x83", "a\x83", 2},
        {"first byte of a character", "\x83", "\x83\x41", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CharAwarePos(c.part, c.text), c.want) << c.name;
}

TEST(CleanAddressText, KeepsTwoByteCharactersWhole)
{
    const struct {
        const char* name;
        std::string text;
        std::string want;
    } cases[] = {
        {"quotes and controls", "a\"b'c\x01" "d\x1F" "e\x7F", "abcde\x7F"},
        {"blanks kept", " a b ", " a b "},
        {"half-width katakana", "\xB1\xDF\xA1", "\xB1\xDF\xA1"},
        {"quote-like second byte", "\x83\x27\x81\x22", "\x83\x27\x81\x22"},
        {"0x80 and 0xFD lead", "\x80\x22\xFD\x27", "\x80\x22\xFD\x27"},
        {"0xA0 and 0xFE are single", "\xA0\x22\xFE\x27", "\xA0\xFE"},
        {"lone lead byte at the end", "\x93\x8C\x93", "\x93\x8C"},
        {"zero byte inside a character kept", std::string("\x83\0", 2), std::string("\x83\0", 2)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CleanAddressText(c.text), c.want) << c.name;
        std::string reused = "previous contents";
        CleanAddressText(c.text, reused);
        EXPECT_EQ(reused, c.want) << c.name << " (into a used string)";
    }
}

TEST(CleanAddressText, DropsExactlyQuotesAndControlBytesStandingAlone)
{
    for (int b = 0; b < 256; ++b) {
        const unsigned char c = static_cast<unsigned char>(b);
        const bool lead = (c >= 0x80 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFD);
        if (lead)
            continue;
        const bool dropped = c < 0x20 || c == '"' || c == '\'';
        // every position of texts from 1 to 20 bytes long
        for (std::size_t size = 1; size <= 20; ++size) {
            for (std::size_t at = 0; at < size; ++at) {
                std::string text(size, 'a');
                text[at] = static_cast<char>(c);
                std::string want = text;
                if (dropped)
                    want.erase(at, 1);
                EXPECT_EQ(CleanAddressText(text), want) << "byte " << b << " at " << at << " of " << size;
            }
        }
        const std::string text = std::string("\x93\x8C") + static_cast<char>(c) + "z";   // 東
        EXPECT_EQ(CleanAddressText(text), dropped ? std::string("\x93\x8C" "z") : text) << "byte " << b;
    }
}
