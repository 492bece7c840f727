#include <CommaText.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& line)
{
    TStringList fields;
    SplitCommaText(line, fields);
    return fields.Lines();
}

} // namespace

TEST(CommaText, SplitsLikeTheSourceFile)
{
    using namespace std::string_literals;
    const struct {
        const char* name;
        std::string line;
        std::vector<std::string> want;
    } cases[] = {
        {"plain", "a,b", {"a", "b"}},
        {"empty line", "", {}},
        {"blanks and controls only", " \t\x01 ", {}},
        {"two commas", "a,,b", {"a", "", "b"}},
        {"leading comma", ",a", {"", "a"}},
        {"comma alone", ",", {"", ""}},
        {"comma last", "a,", {"a", ""}},
        {"comma then blank last", "a, ", {"a"}},
        {"comma then tab last", "a,\t", {"a"}},
        {"blanks around comma", " a , b ", {"a", "b"}},
        {"blank inside unquoted", "a b,c", {"a", "b", "c"}},
        {"control byte inside unquoted", "a\x01" "b", {"a", "b"}},
        {"quoted comma", "\"1,2\",c", {"1,2", "c"}},
        {"quoted blanks kept", "\" a b \",c", {" a b ", "c"}},
        {"doubled quote", "\"a\"\"b\"", {"a\"b"}},
        {"empty quoted", "\"\",x", {"", "x"}},
        {"text after closing quote", "\"a\"b,c", {"a", "b", "c"}},
        {"quoted then comma last", "\"a\",", {"a", ""}},
        // Without a closing quote: the rest, "" collapsed, less one byte.
        {"unterminated", "x,\"abc", {"x", "ab"}},
        {"unterminated with pair", "\"a\"\"bc", {"a\"b"}},
        {"unterminated ending in pair", "\"ab\"\"", {"ab"}},
        {"unterminated lone quote", "\"", {""}},
        {"unterminated keeps commas", "\"a,b,c", {"a,b,"}},
        // 0x00 ends the line's fields.
        {"zero byte", "a,b\0,c"s, {"a", "b"}},
        {"zero byte after comma", "a,\0b"s, {"a", ""}},
        {"zero byte in unterminated quote", "\"abc\0def\""s, {"ab"}},
        {"zero byte first", "\0a"s, {}},
        // Two-byte characters stepped over whole.
        {"0x5C trail unquoted", "\x83\x5C,x", {"\x83\x5C", "x"}},                 // ソ
        {"0x5C trail quoted", "\"\x95\x5C\",x", {"\x95\x5C", "x"}},               // 表
        {"0x5C trail before quote", "\"\x83\x5C\"\"\",x", {"\x83\x5C\"", "x"}},   // ソ"
        {"half-width katakana", "\xC4\xB3,\xB7", {"\xC4\xB3", "\xB7"}},           // ﾄｳ,ｷ
        // Malformed: a lead byte swallows the comma, quote or blank after it.
        {"lead byte before comma", "\x83,b,c", {"\x83,b", "c"}},
        {"lead byte before blank", "\x83 b,c", {"\x83 b", "c"}},
        {"lead byte before closing quote", "\"\x83\"x\",y", {"\x83\"x", "y"}},
        {"lead byte before quote, unterminated", "\"ab\x83\"", {"ab\x83"}},
        {"lead byte last", "ab\x83", {"ab\x83"}},
        {"lead byte last, unterminated", "\"ab\x83", {"ab"}},
        {"lead byte before zero byte", "a\x83\0b"s, {"a\x83"}},
        {"0x80 and 0xFD are single bytes", "\x80,\xFD,", {"\x80", "\xFD", ""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Split(c.line), c.want) << c.name;
}

TEST(CommaText, StopsAfterTheFieldsAskedFor)
{
    const struct {
        const char* name;
        std::string line;
        int maxFields;
        std::vector<std::string> want;
    } cases[] = {
        {"fewer fields than asked", "a,b", 9, {"a", "b"}},
        {"cut", "a,b,c", 2, {"a", "b"}},
        {"comma last makes the last field asked for", "1,2,3,4,5,6,7,8,", 9, {"1", "2", "3", "4", "5", "6", "7", "8", ""}},
        {"comma last after the fields asked for", "1,2,", 2, {"1", "2"}},
        {"comma blank last", "1,2,3,4,5,6,7,8, ", 9, {"1", "2", "3", "4", "5", "6", "7", "8"}},
        {"unterminated quote in the last field asked for", "a,\"bcd,e", 2, {"a", "bcd,"}},
        {"none", "a", 0, {}},
    };
    for (const auto& c : cases) {
        TStringList fields;
        SplitCommaText(c.line, fields, c.maxFields);
        EXPECT_EQ(fields.Lines(), c.want) << c.name;
    }
}

TEST(CommaText, ReusedListHoldsOnlyTheCurrentLine)
{
    TStringList fields;
    SplitCommaText("a,b,c,d,e", fields);
    SplitCommaText("x,,", fields);
    EXPECT_EQ(fields.Lines(), (std::vector<std::string>{"x", "", ""}));
    SplitCommaText("", fields);
    EXPECT_EQ(fields.Count(), 0);
    SplitCommaText("p q", fields);
    EXPECT_EQ(fields.Lines(), (std::vector<std::string>{"p", "q"}));
}

TEST(CommaText, LinesOfTheSameShapeReuseTheFieldStrings)
{
    // The measuring pass must not allocate per line: long fields of the next
    // line go into the buffers of the previous one.
    const std::string longText(100, 'a');
    TStringList fields;
    SplitCommaText("\"" + longText + "\"," + longText + ",x", fields);
    std::vector<const char*> before;
    for (const std::string& f : fields.Lines())
        before.push_back(f.data());
    const std::string other(90, 'b');
    SplitCommaText(other + ",\"" + other + "\",y", fields);
    ASSERT_EQ(fields.Count(), 3);
    EXPECT_EQ(fields[0], other);
    EXPECT_EQ(fields[1], other);
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ(fields.Lines()[i].data(), before[i]) << "field " << i;
}

TEST(CommaText, ListHooksSeeOneChangePerLine)
{
    TStringList fields;
    std::vector<std::string> seen;
    fields.OnChanging = [&] { seen.push_back("changing " + std::to_string(fields.Count())); };
    fields.OnChange = [&] { seen.push_back("changed " + std::to_string(fields.Count())); };
    SplitCommaText("a,b,c", fields);
    SplitCommaText("", fields);
    EXPECT_EQ(seen, (std::vector<std::string>{"changing 0", "changed 3", "changing 3", "changed 0"}));
}
