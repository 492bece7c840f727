// The test search on a small ZIPDIC of the embedded engine: the lines it
// lists, what the typed text matches, and what it leaves behind.
#include "BuildTestSupport.h"

#include <TestSearch.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(TestSearchText, QuotesDoubledWildcardsKept)
{
    EXPECT_EQ(SearchText("060"), "SELECT * FROM ZIPDIC WHERE ZIP LIKE '060%';");
    EXPECT_EQ(SearchText(" 0%_"), "SELECT * FROM ZIPDIC WHERE ZIP LIKE ' 0%_%';");
    EXPECT_EQ(SearchText("0'1''"), "SELECT * FROM ZIPDIC WHERE ZIP LIKE '0''1''''%';");
}

TEST_F(EmbeddedBuild, SearchListsTheMatchingRows)
{
    Exec("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(4), ADK2 VARCHAR(4), ADK3 VARCHAR(4),"
         " ADR1 VARCHAR(4), ADR2 VARCHAR(4), ADR3 VARCHAR(4))");
    Exec("INSERT INTO ZIPDIC VALUES ('0600000', '\xCE\xAF', '\xBB', NULL, '\x96\x6B', '\x8E\x44', NULL)");
    Exec("INSERT INTO ZIPDIC VALUES ('0600001', 'a', 'b', 'c', 'd', 'e', 'f')");
    Exec("INSERT INTO ZIPDIC VALUES ('06''0001', 'q', 'q', 'q', 'q', 'q', 'q')");
    Exec("INSERT INTO ZIPDIC VALUES ('0610000', 'z', 'z', 'z', 'z', 'z', 'z')");
    const std::string nulls = "0600000,\xCE\xAF,\xBB,,\x96\x6B,\x8E\x44,,";
    const std::string plain = "0600001,a,b,c,d,e,f,";
    const std::string quoted = "06'0001,q,q,q,q,q,q,";
    const std::string other = "0610000,z,z,z,z,z,z,";
    const std::vector<std::string> untouched = {"old"};
    const std::vector<std::string> ran = {"exists?", "disable search", "enable search"};
    const struct {
        const char* name;
        std::string typed;
        int escapeAtPoll;
        bool tableListed;
        std::vector<std::string> wantMemo;
        std::vector<std::string> wantShown;
    } cases[] = {
        {"prefix, NULLs as nothing", "060", 0, true, {nulls, plain}, ran},
        {"blank before the digits", " 060", 0, true, {}, ran},
        {"underscore is one character", "06_0", 0, true, {nulls, plain, quoted, other}, ran},
        {"percent sign is any text", "0%1", 0, true, {plain, quoted, other}, ran},
        {"a typed quote", "06'", 0, true, {quoted}, ran},
        {"Escape before the first row", "06", 1, true, {}, ran},
        {"Escape before the second row", "06", 2, true, {nulls}, ran},
        {"no match", "9", 0, true, {}, ran},
        {"nothing typed", " \t", 0, true, untouched, {}},
        {"no table listed", "060", 0, false, untouched, {"exists?"}},
    };
    for (const auto& c : cases) {
        m_view = {};
        m_view.Memo = untouched;
        m_view.EscapeAtPoll = c.escapeAtPoll;
        const bool listed = c.tableListed;
        m_view.TableExistsAnswer = [listed] { return listed; };
        TestSearch(*m_database, *m_transaction, *m_query, c.typed, m_view);
        EXPECT_EQ(m_view.Memo, c.wantMemo) << c.name;
        EXPECT_EQ(m_view.Shown, c.wantShown) << c.name;
        EXPECT_FALSE(m_query->Active()) << c.name;
        // The transaction the query started stays until the next search ends it.
        if (c.wantShown == ran) {
            EXPECT_TRUE(m_transaction->Active()) << c.name;
        }
    }
}

TEST_F(EmbeddedBuild, FailedSearchesEndQuietly)
{
    m_view.TableExistsAnswer = [] { return true; };
    const struct {
        const char* name;
        const char* table;   // created before the search, if any
    } cases[] = {
        {"open refused: no such table", nullptr},
        {"a row wider than the listing expects", "CREATE TABLE ZIPDIC (ZIP VARCHAR(7))"},
    };
    for (const auto& c : cases) {
        if (c.table) {
            Exec(c.table);
            Exec("INSERT INTO ZIPDIC VALUES ('0600000')");
        }
        m_view.Shown.clear();
        m_view.Memo = {"old"};
        TestSearch(*m_database, *m_transaction, *m_query, "060", m_view);
        EXPECT_TRUE(m_view.Memo.empty()) << c.name;
        EXPECT_EQ(m_view.Shown, (std::vector<std::string>{"exists?", "disable search", "enable search"})) << c.name;
        EXPECT_FALSE(m_query->Active()) << c.name;
    }
}
