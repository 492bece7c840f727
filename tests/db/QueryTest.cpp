// The query's statement side against the real engine: the dictionary build's
// statement step (one transaction per statement, parameter processing off),
// the refusals of Execute, field definitions and parameters.
#include "TestSupport.h"

#include <IBHeader.h>
#include <IBQuery.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

// A query whose result set stands open, as an Open would leave it.
class TOpenQuery : public TIBQuery {
public:
    using TIBQuery::TIBQuery;
    void MarkOpen() { m_active = true; }
    void MarkClosed() { m_active = false; }
};

std::vector<std::string> CreateLines(const std::vector<int>& widths)
{
    const char* names[] = {"ADK1", "ADK2", "ADK3", "ADR1", "ADR2", "ADR3"};
    std::vector<std::string> lines = {"CREATE TABLE ZIPDIC (", "  ZIP  VARCHAR(7),"};
    for (std::size_t i = 0; i < 6; ++i)
        lines.push_back(std::string("  ") + names[i] + " VARCHAR(" + std::to_string(widths[i]) + ")" +
                        (i < 5 ? "," : ""));
    lines.push_back("  );");
    return lines;
}

std::string Quote(const std::string& slot)
{
    return slot.empty() ? "NULL" : "'" + slot + "'";
}

std::vector<std::string> InsertLines(const std::vector<std::string>& record)
{
    std::vector<std::string> lines = {"INSERT INTO ZIPDIC (", "  ZIP, ADK1, ADK2, ADK3,", "  ADR1, ADR2, ADR3)",
                                      "VALUES ("};
    for (std::size_t i = 0; i < 6; ++i)
        lines.push_back("  " + Quote(record[i]) + ",");
    lines.push_back("  " + Quote(record[6]) + ");");
    return lines;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

class QueryOnEngine : public EngineTest {
protected:
    void SetUp() override
    {
        SetUpEngine("query-");
        m_query = std::make_unique<TOpenQuery>("IBQuery1");
        m_query->SetDatabase(m_database.get());
        m_query->SetTransaction(m_transaction.get());
        m_query->SetBufferChunks(1000);
        m_query->SetCachedUpdates(false);
    }

    void TearDown() override
    {
        m_query.reset();
        EngineTest::TearDown();
    }

    // The dictionary build's statement step: its own transaction, the lines
    // sent unchanged, prepared, executed, committed; rolled back on error.
    bool Step(const std::vector<std::string>& lines)
    {
        bool ok = true;
        try {
            m_transaction->SetActive(false);
            m_transaction->StartTransaction();
            m_query->Close();
            m_query->SetParamCheck(false);
            m_query->SQL().Clear();
            for (const std::string& line : lines)
                m_query->SQL().Add(line);
            if (!m_query->IsPrepared())
                m_query->Prepare();
            m_query->Execute();
            m_sentText = m_query->SelectSQL().ProcessedText();
            m_transaction->Commit();
        } catch (const EDatabaseError&) {
            m_transaction->Rollback();
            ok = false;
        }
        m_query->SetActive(false);
        m_transaction->SetActive(false);
        return ok;
    }

    std::vector<std::string> Rows(const std::string& select)
    {
        return SelectRows(*m_database, *m_transaction, select);
    }

    std::unique_ptr<TOpenQuery> m_query;
    std::string m_sentText;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Engine, QueryOnEngine, ::testing::Values(TTarget::Server, TTarget::Embedded), TargetName);

TEST_P(QueryOnEngine, DictionaryStatementsRunAsStatementSteps)
{
    EXPECT_FALSE(Step({"DROP TABLE ZIPDIC;"}));   // no table yet: refused, rolled back
    EXPECT_FALSE(m_transaction->Active());

    const std::vector<std::string> create = CreateLines({8, 20, 40, 8, 20, 40});
    ASSERT_TRUE(Step(create));
    EXPECT_EQ(m_sentText, Joined(create));
    EXPECT_EQ(m_sentText.substr(m_sentText.size() - 6), "  );\r\n");

    // Half-width katakana, kanji (one with 0x5C as its second byte) and
    // cleared slots stored as NULL.
    const std::vector<std::vector<std::string>> records = {
        {"0600000", "\xCE\xAF\xB6\xB2\xC4\xDE\xB3", "\xBB\xAF\xCE\xDF\xDB\xBC", "", "\x96\x6B\x8A\x43\x93\xB9",
         "\x8E\x44\x96\x79\x8E\x73", ""},
        {"1000001", "\xC4\xB3\xB7\xAE\xB3\xC4", "\xC1\xD6\xC0\xDE\xB8", "\xC1\xD8\xAE\xC0\xDE",
         "\x93\x8C\x8B\x9E\x93\x73", "\x90\xE7\x91\xE3\x93\x63\x8B\xE6", "\x90\xE7\x91\xE3\x93\x63"},
        {"0010000", "\xBF", "\xBF", "\xBF", "\x83\x5C", "\x95\x5C", "\x94\x5C"},   // ソ 表 能
    };
    for (const auto& record : records) {
        ASSERT_TRUE(Step(InsertLines(record)));
        EXPECT_EQ(m_sentText, Joined(InsertLines(record)));
    }
    // Each statement ran in a transaction of its own; the query stays
    // prepared while its statement was released by the commit.
    EXPECT_FALSE(m_transaction->Active());
    EXPECT_TRUE(m_query->IsPrepared());
    EXPECT_FALSE(m_query->InternalPrepared());
    EXPECT_FALSE(m_query->SelectSQL().Prepared());
    EXPECT_EQ(m_query->SelectSQL().Handle(), 0u);

    // A value too long for its column fails alone.
    EXPECT_FALSE(Step(InsertLines({"0600001", std::string(9, '\xB1'), "", "", "", "", ""})));

    std::vector<std::string> want;
    for (const auto& record : records) {
        std::string line;
        for (std::size_t i = 0; i < record.size(); ++i)
            line += (i ? "|" : "") + (record[i].empty() ? std::string("<null>") : record[i]);
        want.push_back(line);
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(Rows("SELECT ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC ORDER BY ZIP"), want);

    ASSERT_TRUE(Step({"DROP TABLE ZIPDIC;"}));
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'ZIPDIC'"),
              std::vector<std::string>{"0"});
}

TEST_P(QueryOnEngine, ExecuteRefusesASelectAfterPreparingIt)
{
    m_transaction->StartTransaction();
    m_query->SQL().Add("SELECT * FROM RDB$DATABASE");
    EXPECT_EQ(ClientErrorText([&] { m_query->Execute(); }, ibxeIsASelectStatement),
              Cp932("Select 文を使うには Open を使ってください。"));
    EXPECT_TRUE(m_query->IsPrepared());
    EXPECT_TRUE(m_query->SelectSQL().Prepared());
    EXPECT_FALSE(m_query->SelectSQL().Open());
    m_transaction->Commit();
}

TEST_P(QueryOnEngine, EmptyStatementsAreRefused)
{
    m_transaction->StartTransaction();
    const std::string empty = Cp932("SQL 文が空です。");
    EXPECT_EQ(ClientErrorText([&] { m_query->Execute(); }, ibxeEmptySQLStatement), empty);
    EXPECT_EQ(ClientErrorText([&] { m_query->Prepare(); }, ibxeEmptySQLStatement), empty);
    EXPECT_FALSE(m_query->IsPrepared());

    // Lines of blanks only: the select statement's text is blank.
    m_query->SQL().Add("   ");
    EXPECT_EQ(ClientErrorText([&] { m_query->Prepare(); }, ibxeEmptySQLStatement), empty);
    EXPECT_FALSE(m_query->IsPrepared());
    m_transaction->Commit();
}

TEST_P(QueryOnEngine, RefusalsWhileTheResultSetIsOpen)
{
    ASSERT_TRUE(Step({"CREATE TABLE T (A INTEGER)"}));
    m_transaction->StartTransaction();
    m_query->SQL().Clear();
    m_query->SQL().Add("DELETE FROM T");
    m_query->MarkOpen();
    try {
        m_query->Execute();
        ADD_FAILURE() << "Execute ran on an open query";
    } catch (const EIBError&) {
        ADD_FAILURE() << "the framework's error was expected";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message(), "IBQuery1: " + Cp932("データセットが開かれているため, この操作は実行できません"));
    }
    EXPECT_EQ(ClientErrorText([&] { m_query->Prepare(); }, ibxeDatasetOpen), Cp932("データセットは開いています。"));
    EXPECT_FALSE(m_query->IsPrepared());
    m_query->MarkClosed();
    m_query->Execute();
    m_transaction->Commit();
}

TEST_P(QueryOnEngine, ExecuteStartsAnInactiveTransactionAndLeavesItActive)
{
    ASSERT_TRUE(Step({"CREATE TABLE T (A INTEGER)"}));
    ASSERT_FALSE(m_transaction->Active());
    m_query->SQL().Clear();
    m_query->SQL().Add("INSERT INTO T VALUES (1)");
    m_query->Execute();
    EXPECT_TRUE(m_transaction->Active());   // AutoStopAction saNone ends nothing
    m_transaction->Commit();
    EXPECT_EQ(Rows("SELECT A FROM T"), std::vector<std::string>{"1"});
}

TEST_P(QueryOnEngine, RowsAffectedAreRecordedWhenUnprepared)
{
    ASSERT_TRUE(Step({"CREATE TABLE T (A INTEGER)"}));
    ASSERT_TRUE(Step({"INSERT INTO T VALUES (1)"}));
    ASSERT_TRUE(Step({"INSERT INTO T VALUES (2)"}));
    m_transaction->StartTransaction();
    m_query->SetParamCheck(false);
    m_query->SQL().Clear();
    m_query->SQL().Add("UPDATE T SET A = A + 1");
    m_query->Execute();
    EXPECT_EQ(m_query->RowsAffected(), 2);
    m_query->SQL().Clear();   // unprepares: the count is kept
    EXPECT_FALSE(m_query->IsPrepared());
    EXPECT_EQ(m_query->RowsAffected(), 2);
    m_transaction->Commit();
}

TEST_P(QueryOnEngine, ParamsCarryTheirValuesIntoTheStatement)
{
    ASSERT_TRUE(Step({"CREATE TABLE T (A INTEGER, B VARCHAR(10))"}));
    m_transaction->StartTransaction();
    m_query->SetParamCheck(true);
    m_query->SQL().Clear();
    m_query->SQL().Add("INSERT INTO T (A, B)");
    m_query->SQL().Add("VALUES (:A, :B)");
    ASSERT_EQ(m_query->Params().Count(), 2);
    EXPECT_EQ(m_query->QueryText(), "INSERT INTO T (A, B)\r\nVALUES (?, ?)\r\n");
    m_query->Params().ParamByName("A").SetAsString("5");
    m_query->Execute();

    // A further change keeps the values of the parameters that remain.
    m_query->SQL().Add("");
    EXPECT_EQ(m_query->Params().ParamByName("A").AsString(), "5");
    m_query->Params().ParamByName("B").SetAsString("x");
    m_query->Execute();
    m_transaction->Commit();
    EXPECT_EQ(Rows("SELECT A, B FROM T ORDER BY B"), (std::vector<std::string>{"5|<null>", "5|x"}));
}

TEST_P(QueryOnEngine, FieldDefinitionsFollowTheOutputColumns)
{
    ASSERT_TRUE(Step({"CREATE TABLE T (",
                      "  V VARCHAR(7) NOT NULL, C CHAR(5), I INTEGER, N92 NUMERIC(9,2), N184 NUMERIC(18,4),",
                      "  N186 NUMERIC(18,6), BI BIGINT, SI SMALLINT, D DOUBLE PRECISION, DT DATE, TM TIME,",
                      "  TS TIMESTAMP, ARR INTEGER[3], MEMO BLOB SUB_TYPE 1, BIN BLOB)"}));
    m_transaction->StartTransaction();
    m_query->SetParamCheck(true);
    m_query->SQL().Clear();
    m_query->SQL().Add("SELECT V, C, I, N92, N184, N186, BI, SI, D, DT, TM, TS, ARR, MEMO, BIN, V FROM T");
    m_query->Prepare();
    const struct {
        std::string name;
        int fieldNo;
        TFieldType type;
        int size;
        int precision;
        TFieldAttributes attributes;
    } want[] = {
        {"V", 1, ftString, 7, 0, faRequired},
        {"C", 2, ftString, 5, 0, faFixed},
        {"I", 3, ftInteger, 0, 0, 0},
        {"N92", 4, ftBCD, 2, 9, 0},
        {"N184", 5, ftBCD, 4, 18, 0},
        {"N186", 6, ftFloat, 0, 0, 0},
        {"BI", 7, ftLargeint, 0, 0, 0},
        {"SI", 8, ftSmallint, 0, 0, 0},
        {"D", 9, ftFloat, 0, 0, 0},
        {"DT", 10, ftDate, 0, 0, 0},
        {"TM", 11, ftTime, 0, 0, 0},
        {"TS", 12, ftDateTime, 0, 0, 0},
        {"MEMO", 14, ftMemo, 8, 0, 0},
        {"BIN", 15, ftBlob, 8, 0, 0},
        {"V1", 16, ftString, 7, 0, faRequired},
    };
    const TFieldDefs& defs = m_query->FieldDefs();
    ASSERT_EQ(defs.Count(), static_cast<int>(std::size(want)));
    for (int i = 0; i < defs.Count(); ++i) {
        const TFieldDef& def = defs.Items(i);
        const auto& w = want[i];
        EXPECT_EQ(def.Name, w.name) << i;
        EXPECT_EQ(def.FieldNo, w.fieldNo) << w.name;
        EXPECT_EQ(def.DataType, w.type) << w.name;
        EXPECT_EQ(def.Size, w.size) << w.name;
        EXPECT_EQ(def.Precision, w.precision) << w.name;
        EXPECT_EQ(def.Attributes, w.attributes) << w.name;
        EXPECT_EQ(m_query->MappedPositions()[static_cast<std::size_t>(i)], w.fieldNo) << w.name;
    }
    EXPECT_EQ(m_query->MappedPositions()[15], 0);   // the array column has no definition

    // A narrower select afterwards leaves no stale positions behind.
    m_query->SQL().Clear();
    m_query->SQL().Add("SELECT ARR, I FROM T");
    m_query->Prepare();
    ASSERT_EQ(m_query->FieldDefs().Count(), 1);
    EXPECT_EQ(m_query->MappedPositions()[0], 2);
    for (std::size_t k = 1; k < m_query->MappedPositions().size(); ++k)
        EXPECT_EQ(m_query->MappedPositions()[k], 0) << k;
    m_transaction->Commit();
}

TEST_P(QueryOnEngine, ChangingTheLinesUnpreparesAndClearsTheDefinitions)
{
    m_transaction->StartTransaction();
    m_query->SQL().Add("SELECT RDB$RELATION_ID FROM RDB$DATABASE");
    m_query->Prepare();
    ASSERT_EQ(m_query->FieldDefs().Count(), 1);
    const isc_stmt_handle handle = m_query->SelectSQL().Handle();
    ASSERT_NE(handle, 0u);

    TStringList same;
    same.Add("SELECT RDB$RELATION_ID FROM RDB$DATABASE");
    m_query->SetSQL(same);   // same text: nothing happens
    EXPECT_TRUE(m_query->IsPrepared());
    EXPECT_EQ(m_query->SelectSQL().Handle(), handle);

    TStringList other;
    other.Add("SELECT RDB$CHARACTER_SET_NAME");
    other.Add("FROM RDB$DATABASE");
    m_query->SetSQL(other);
    EXPECT_FALSE(m_query->IsPrepared());
    EXPECT_FALSE(m_query->InternalPrepared());
    EXPECT_EQ(m_query->FieldDefs().Count(), 0);
    EXPECT_EQ(m_query->SelectSQL().Handle(), 0u);
    EXPECT_EQ(m_query->SelectSQL().SQL().Text(), other.Text());
    m_transaction->Commit();
}

TEST_P(QueryOnEngine, DisconnectUnpreparesTheResultSet)
{
    ASSERT_TRUE(Step({"CREATE TABLE T (A INTEGER)"}));
    m_transaction->StartTransaction();
    m_query->SQL().Clear();
    m_query->SQL().Add("DELETE FROM T");
    m_query->Prepare();
    m_database->SetConnected(false);
    EXPECT_FALSE(m_query->InternalPrepared());
    EXPECT_EQ(m_query->SelectSQL().Handle(), 0u);
    EXPECT_TRUE(m_query->IsPrepared());

    // Connected again, Execute prepares anew with the lines unchanged.
    m_database->SetConnected(true);
    m_transaction->StartTransaction();
    m_query->Execute();
    EXPECT_NE(m_query->SelectSQL().Handle(), 0u);
    EXPECT_TRUE(m_query->InternalPrepared());
    m_transaction->Commit();
}

TEST(QuerySettings, BufferChunksAndCachedUpdates)
{
    UseFakeClient();
    TIBQuery query("IBQuery1");
    const struct {
        int value;
        int want;
    } cases[] = {{0, 1000}, {-5, 1000}, {1, 1}, {50, 50}};
    for (const auto& c : cases) {
        query.SetBufferChunks(c.value);
        EXPECT_EQ(query.BufferChunks(), c.want) << c.value;
    }
    EXPECT_EQ(ClientErrorText([&] { query.SetCachedUpdates(true); }, ibxeNotSupported),
              Cp932("サポートされていない機能"));
    EXPECT_FALSE(query.CachedUpdates());
}
