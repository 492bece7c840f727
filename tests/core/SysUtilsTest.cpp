#include <Classes.h>
#include <SysUtils.h>
#include <UnitV.h>

#include <gtest/gtest.h>

TEST(StrToIntOrZero, TheRuntimeIntegerForm)
{
    const struct {
        const char* text;
        std::int32_t want;
    } cases[] = {
        {"192", 192},           {"-20", -20},          {"+7", 7},
        {"$40", 64},            {"x40", 64},           {"0X1f", 31},
        {"-$10", -16},          {"$FFFFFFFF", -1},     {"$123456789", 0},
        {"   12", 12},          {"12 ", 0},            {"abc", 0},
        {"", 0},                {"-", 0},              {"$", 0},
        {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}, {"2147483648", 0},
        {"99999999999999999999", 0}, {"1 2", 0},       {"\t5", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StrToIntOrZero(c.text), c.want) << c.text;
}

TEST(StrToInt, RaisesTheConversionError)
{
    try {
        StrToInt("12a");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'12a'\x20\x82\xcd\x90\xae\x90\x94\x82\xc5\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1");   // '12a' は整数ではありません
    }
}

TEST(Format, RuntimeRules)
{
    EXPECT_EQ(Format("%s: %s", {std::string("IBQuery1"), std::string("x")}), "IBQuery1: x");
    EXPECT_EQ(Format("SQL (%d)", {std::int64_t{999}}), "SQL (999)");
    EXPECT_EQ(Format("%0:d of %1:d", {std::int64_t{32}, std::int64_t{31}}), "32 of 31");
    EXPECT_EQ(Format("%1:d %0:d %d", {std::int64_t{1}, std::int64_t{2}, std::int64_t{3}}), "2 1 2");
    EXPECT_EQ(Format("%5d|%-4s|%%|%.3d", {std::int64_t{-42}, std::string("ab"), std::int64_t{7}}), "  -42|ab  |%|007");
    EXPECT_THROW(Format("%d", {std::string("x")}), EConvertError);
    EXPECT_THROW(Format("%s %s", {std::string("x")}), EConvertError);
}

TEST(Trim, RemovesExactlyTheBytesUpTo0x20)
{
    // Zero bytes and control bytes as well as blanks; nothing above 0x20.
    for (int b = 0; b < 256; ++b) {
        const std::string pad(2, static_cast<char>(b));
        const std::string text = pad + "a" + pad + "b" + pad;
        const bool gone = b <= 0x20;
        EXPECT_EQ(TrimRight(text), gone ? pad + "a" + pad + "b" : text) << b;
        EXPECT_EQ(TrimLeft(text), gone ? "a" + pad + "b" + pad : text) << b;
        EXPECT_EQ(Trim(text), gone ? "a" + pad + "b" : text) << b;
    }
}

TEST(CaseRules, SecondBytesOfTwoByteCharactersAreNotLetters)
{
    // 0x83 0x61 is a katakana whose second byte looks like 'a'.
    EXPECT_EQ(UpperCase("zip\x83\x61"), "ZIP\x83\x61");
    EXPECT_FALSE(SameText("\x83\x61", "\x83\x41"));
    EXPECT_TRUE(SameText("zipdic", "ZIPDIC"));
    EXPECT_FALSE(SameText("ZIPDIC2", "ZIPDIC"));
}

TEST(QuotedStr, DoublesQuotesOnly)
{
    const struct { const char* name; std::string text; std::string want; } cases[] = {
        {"empty",        "",            "''"},
        {"plain",        "100-0001",    "'100-0001'"},
        {"quote inside", "O'Hara",      "'O''Hara'"},
        {"quotes only",  "''",          "''''''"},
        {"double quote", "a\"b",        "'a\"b'"},
        {"0x5C trail",   "\x83\x5C'",   "'\x83\x5C'''"},   // ソ then a quote
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuotedStr(c.text), c.want) << c.name;
        std::string out = "x";
        AppendQuotedStr(out, c.text);
        EXPECT_EQ(out, "x" + c.want) << c.name;
    }
    // The login of a CREATE DATABASE: double quotes doubled, single ones kept.
    EXPECT_EQ(QuotedStr("pa\"ss'", '"'), "\"pa\"\"ss'\"");
}

TEST(StringList, ChangeHooksAndUpdates)
{
    TStringList list;
    int changing = 0, changed = 0;
    list.OnChanging = [&] { ++changing; };
    list.OnChange = [&] { ++changed; };
    list.Add("a");
    list.Clear();
    list.Clear();   // already empty: no change
    EXPECT_EQ(changing, 2);
    EXPECT_EQ(changed, 2);
    list.SetText("x\r\ny\rz\n");   // one change for the whole text
    EXPECT_EQ(changing, 3);
    EXPECT_EQ(changed, 3);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Text(), "x\r\ny\r\nz\r\n");
    EXPECT_EQ(list.IndexOf("Y"), 1);
    EXPECT_THROW(list.Strings(3), EListError);

    list.OnChanging = [] { throw Exception("refused"); };
    EXPECT_THROW(list.Add("w"), Exception);
    EXPECT_THROW(list.SetText("w"), Exception);
    EXPECT_EQ(list.Count(), 3);
}
