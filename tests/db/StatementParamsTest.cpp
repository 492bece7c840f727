// The parameter walk that rewrites a statement text before it is prepared,
// and the framework's parameter parser a query derives its Params from.
#include "TestSupport.h"

#include <DB.h>
#include <IBSQL.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string ParseErrorText(const std::string& text, bool autoParamNames)
{
    try {
        PreprocessSQL(text, autoParamNames);
    } catch (const EIBClientError& e) {
        EXPECT_EQ(e.SqlErrorCode(), ibxeSQLParseError);
        return e.Message();
    }
    ADD_FAILURE() << "no parser error for " << text;
    return {};
}

} // namespace

TEST(ParameterWalk, RewritesParametersOutsideLiteralsAndComments)
{
    UseFakeClient();
    const struct {
        const char* name;
        std::string text;
        bool autoNames;
        std::string want;
        std::vector<std::string> names;
    } cases[] = {
        {"no parameters", "DROP TABLE ZIPDIC;\r\n", false, "DROP TABLE ZIPDIC;\r\n", {}},
        {"colon and mark in a literal", "SELECT * FROM ZIPDIC WHERE ZIP LIKE '1:0?%'\r\n", false,
         "SELECT * FROM ZIPDIC WHERE ZIP LIKE '1:0?%'\r\n", {}},
        {"name at the line end", "SELECT * FROM T WHERE A = :Z\r\n", false, "SELECT * FROM T WHERE A = ?\r\n", {"Z"}},
        {"names in order", "VALUES (:b1, :a$_2, :b1)\r\n", false, "VALUES (?, ?, ?)\r\n", {"b1", "a$_2", "b1"}},
        {"quoted name", "WHERE X = :\"my name\" AND Y = 1\r\n", false, "WHERE X = ? AND Y = 1\r\n", {"my name"}},
        {"doubled quote in a literal", "VALUES ('it''s :x', :y)\r\n", false, "VALUES ('it''s :x', ?)\r\n", {"y"}},
        {"double-quoted identifier", "SELECT \"a:b\" FROM T\r\n", false, "SELECT \"a:b\" FROM T\r\n", {}},
        {"colon in a comment", "SELECT /* :x ? */ :y FROM T\r\n", false, "SELECT /* :x ? */ ? FROM T\r\n", {"y"}},
        {"comment closed at once", "/**/:y\r\n", false, "/**/?\r\n", {"y"}},
        {"marks named in order", "VALUES (?, ?)\r\n", true, "VALUES (?, ?)\r\n", {"IBXParam0", "IBXParam1"}},
        {"mark and name mixed", "VALUES (?, :N, ?)\r\n", true, "VALUES (?, ?, ?)\r\n", {"IBXParam0", "N", "IBXParam1"}},
        // The character that ends a parameter still counts as text.
        {"adjacent parameters", "VALUES (:A:B)\r\n", false, "VALUES (?" "?)\r\n", {"A", "B"}},
        {"adjacent marks", "VALUES (?" "?)\r\n", true, "VALUES (?" "?)\r\n", {"IBXParam0", "IBXParam1"}},
        {"literal right after a name", "WHERE A = :A'x:y'\r\n", false, "WHERE A = ?'x:y'\r\n", {"A"}},
        {"literal right after a quoted name", "WHERE A = :\"a\"'x:y'\r\n", false, "WHERE A = ?'x:y'\r\n", {"a"}},
        {"two-byte text kept", "SELECT '\x83\x5C:' FROM T WHERE A = :A\r\n", false,
         "SELECT '\x83\x5C:' FROM T WHERE A = ?\r\n", {"A"}},
    };
    for (const auto& c : cases) {
        const TProcessedSQL processed = PreprocessSQL(c.text, c.autoNames);
        EXPECT_EQ(processed.Text, c.want) << c.name;
        EXPECT_EQ(processed.Names, c.names) << c.name;
    }
}

TEST(ParameterWalk, ReportsTheThreeParserErrors)
{
    UseFakeClient();
    const std::string prefix = Cp932("SQL パーサーエラー：") + "\r\n\r\n";
    const struct {
        const char* name;
        std::string text;
        bool autoNames;
        std::string message;
    } cases[] = {
        {"unclosed literal", "SELECT 'abc\r\n", false, "文字列の途中でファイルが終わりました。"},
        {"unclosed double quote", "SELECT \"abc\r\n", false, "文字列の途中でファイルが終わりました。"},
        {"unclosed comment", "SELECT 1 /* abc\r\n", false, "コメントの途中でファイルが終わりました。"},
        {"unclosed quoted name", "WHERE A = :\"abc\r\n", false, "文字列の途中でファイルが終わりました。"},
        {"bare mark", "WHERE A = ? AND B = 1\r\n", false, "パラメータ名が必要です。"},
        {"bare colon", "WHERE A = : AND B = 1\r\n", false, "パラメータ名が必要です。"},
        {"mark at the very end", "WHERE A = ?", false, "パラメータ名が必要です。"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseErrorText(c.text, c.autoNames), prefix + Cp932(c.message)) << c.name;
}

TEST(ParameterParser, YieldsNamesAndQueryText)
{
    const struct {
        const char* name;
        std::string sql;
        std::string want;
        std::vector<std::string> names;
    } cases[] = {
        {"dictionary insert", "INSERT INTO ZIPDIC (ZIP) VALUES ('0600000');\r\n",
         "INSERT INTO ZIPDIC (ZIP) VALUES ('0600000');\r\n", {}},
        {"prefix search", "SELECT * FROM ZIPDIC WHERE ZIP LIKE '06:%'\r\n",
         "SELECT * FROM ZIPDIC WHERE ZIP LIKE '06:%'\r\n", {}},
        {"named", "WHERE A = :A AND B = :b AND C = :A\r\n", "WHERE A = ? AND B = ? AND C = ?\r\n", {"A", "b"}},
        {"quoted name", "WHERE A = :\"x y\"\r\n", "WHERE A = ?\r\n", {"x y"}},
        {"cast is no parameter", "SELECT A::INTEGER FROM T\r\n", "SELECT A::INTEGER FROM T\r\n", {}},
        {"comment", "SELECT /* :x */ 1 FROM T\r\n", "SELECT /* :x */ 1 FROM T\r\n", {}},
        {"lone colon", "SELECT ': ' || : FROM T\r\n", "SELECT ': ' || : FROM T\r\n", {}},
        {"unclosed literal", "SELECT ':x\r\n", "SELECT ':x\r\n", {}},
    };
    for (const auto& c : cases) {
        TParams params;
        EXPECT_EQ(params.ParseSQL(c.sql, true), c.want) << c.name;
        std::vector<std::string> names;
        for (int i = 0; i < params.Count(); ++i)
            names.push_back(params.Items(i).Name());
        EXPECT_EQ(names, c.names) << c.name;
    }
}

TEST(ParameterParser, AssignValuesCopiesSameNamedValuesOnly)
{
    TParams old;
    old.CreateParam("A").SetAsString("one");
    old.CreateParam("GONE").SetAsString("two");
    TParams fresh;
    fresh.ParseSQL("WHERE X = :a AND Y = :NEW\r\n", true);
    fresh.AssignValues(old);
    EXPECT_EQ(fresh.ParamByName("A").AsString(), "one");
    EXPECT_FALSE(fresh.ParamByName("A").IsNull());
    EXPECT_TRUE(fresh.ParamByName("NEW").IsNull());
    EXPECT_EQ(fresh.FindParam("GONE"), nullptr);
    try {
        fresh.ParamByName("GONE");
        ADD_FAILURE() << "no error for a missing parameter";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), Cp932("パラメータ 'GONE' が見つかりません"));
    }
}
