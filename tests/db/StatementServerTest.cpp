// Statements against the real engine, over 127.0.0.1 and embedded:
// preparing with the server's statement type, describing, executing,
// fetching to the end, parameters, and closing a statement whose server side
// is already gone.
#include "TestSupport.h"

#include <IBIntf.h>
#include <IBSQL.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

class StatementOnEngine : public EngineTest {
protected:
    void SetUp() override { SetUpEngine("stmt-"); }

    // Runs DDL or DML in a transaction of its own, committed.
    void Run(const std::string& sql)
    {
        m_transaction->StartTransaction();
        ExecSql(*m_database, *m_transaction, sql);
        m_transaction->Commit();
    }

    std::unique_ptr<TIBSQL> Statement(const std::string& text, bool paramCheck = true)
    {
        auto sql = std::make_unique<TIBSQL>("Stmt");
        sql->SetDatabase(m_database.get());
        sql->SetTransaction(m_transaction.get());
        sql->SetParamCheck(paramCheck);
        sql->SQL().Add(text);
        return sql;
    }

    // Every row of a select, columns as text joined by "|".
    std::vector<std::string> Rows(const std::string& select)
    {
        auto sql = Statement(select);
        sql->SetGoToFirstRecordOnExecute(false);
        sql->ExecQuery();
        std::vector<std::string> rows;
        while (!sql->AtEnd()) {
            TIBXSQLDA* row = sql->Fetch();
            if (!row)
                break;
            std::string line;
            for (int i = 0; i < row->Count(); ++i)
                line += (i ? "|" : "") + row->Item(i).AsText();
            rows.push_back(line);
        }
        return rows;
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Engine, StatementOnEngine, ::testing::Values(TTarget::Server, TTarget::Embedded),
                         TargetName);

TEST_P(StatementOnEngine, SelectIsFetchedToTheEnd)
{
    Run("CREATE TABLE T (A INTEGER, B VARCHAR(10))");
    Run("INSERT INTO T VALUES (1, 'one')");
    Run("INSERT INTO T VALUES (2, NULL)");
    Run("INSERT INTO T VALUES (3, 'three')");
    m_transaction->StartTransaction();
    auto sql = Statement("SELECT A, B FROM T ORDER BY A");
    sql->SetGoToFirstRecordOnExecute(false);
    sql->Prepare();
    EXPECT_EQ(sql->StatementType(), SQLSelect);
    sql->ExecQuery();
    EXPECT_TRUE(sql->Bof());
    std::vector<std::string> rows;
    while (!sql->AtEnd()) {
        TIBXSQLDA* row = sql->Fetch();
        if (!row)
            break;
        EXPECT_EQ(row, &sql->OutputArea());
        rows.push_back(sql->Column(0).AsText() + "|" + sql->Column(1).AsText() + "|" +
                       (sql->Column(1).IsNull() ? "null" : "value"));
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"1|one|value", "2||null", "3|three|value"}));
    EXPECT_EQ(sql->RecordCount(), 3);
    EXPECT_TRUE(sql->Eof());
    EXPECT_EQ(sql->Fetch(), nullptr);

    // Closed, the prepared statement runs again; this time the first row
    // comes with the execution.
    sql->Close();
    EXPECT_FALSE(sql->Open());
    sql->SetGoToFirstRecordOnExecute(true);
    sql->ExecQuery();
    EXPECT_EQ(sql->RecordCount(), 1);
    EXPECT_EQ(sql->Column(0).AsText(), "1");
    sql->Close();
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, StatementTypeAndAreasAsTheServerDescribesThem)
{
    Run("CREATE TABLE T (A INTEGER, B VARCHAR(10))");
    Run("CREATE PROCEDURE P (X INTEGER) RETURNS (Y INTEGER, Z INTEGER) AS BEGIN Y = X + 1; Z = X + 2; END");
    Run("CREATE SEQUENCE G");
    const struct {
        std::string text;
        int type;
        int inputs;
        int outputs;
    } cases[] = {
        {"SELECT A FROM T", SQLSelect, 0, 1},
        {"SELECT A, B, A FROM T", SQLSelect, 0, 3},
        {"SELECT A FROM T WHERE A = :X OR B = :Y", SQLSelect, 2, 1},
        {"SELECT COUNT(*) FROM T WHERE 1 = 0", SQLSelect, 0, 1},
        {"INSERT INTO T (A, B) VALUES (:A, :B)", SQLInsert, 2, 0},
        {"UPDATE T SET B = 'x' WHERE A = :A", SQLUpdate, 1, 0},
        {"DELETE FROM T", SQLDelete, 0, 0},
        {"CREATE TABLE U (A INTEGER)", SQLDDL, 0, 0},
        {"EXECUTE PROCEDURE P(:X)", SQLExecProcedure, 1, 2},
        {"SELECT A FROM T FOR UPDATE", SQLSelectForUpdate, 0, 1},
        {"COMMIT", SQLCommit, 0, 0},
        {"ROLLBACK", SQLRollback, 0, 0},
        {"SET GENERATOR G TO 5", SQLSetGenerator, 0, 0},
    };
    m_transaction->StartTransaction();
    for (const auto& c : cases) {
        auto sql = Statement(c.text);
        sql->Prepare();
        EXPECT_NE(sql->Handle(), 0u) << c.text;
        EXPECT_EQ(sql->StatementType(), c.type) << c.text;
        EXPECT_EQ(sql->InputArea().Count(), c.inputs) << c.text;
        EXPECT_EQ(sql->OutputArea().Count(), c.outputs) << c.text;
        for (int i = 0; i < c.outputs; ++i)
            EXPECT_NE(sql->OutputArea().Item(i).XSqlVar()->sqldata, nullptr) << c.text << " " << i;
    }
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, StartTransactionStatementIsRefusedAndReleased)
{
    m_transaction->StartTransaction();
    auto sql = Statement("SET TRANSACTION");
    EXPECT_EQ(ClientErrorText([&] { sql->Prepare(); }, ibxeNotPermitted), Cp932("許されていません。"));
    EXPECT_EQ(sql->Handle(), 0u);
    EXPECT_FALSE(sql->Prepared());
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, FailedPrepareLeavesNoServerStatement)
{
    m_transaction->StartTransaction();
    auto sql = Statement("SELECT * FROM NO_SUCH_TABLE");
    EXPECT_THROW(sql->Prepare(), EIBInterBaseError);
    EXPECT_EQ(sql->Handle(), 0u);
    EXPECT_FALSE(sql->Prepared());
    sql->SQL().Clear();
    sql->SQL().Add("SELECT 1 FROM RDB$DATABASE");
    sql->ExecQuery();
    EXPECT_EQ(sql->Column(0).AsText(), "1");
    sql->Close();
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, DictionaryDropIsSentAsOneLineWithoutAreas)
{
    Run("CREATE TABLE ZIPDIC (ZIP VARCHAR(7))");
    m_transaction->StartTransaction();
    auto sql = Statement("DROP TABLE ZIPDIC;", false);
    sql->Prepare();
    EXPECT_EQ(sql->ProcessedText(), "DROP TABLE ZIPDIC;\r\n");
    EXPECT_EQ(sql->StatementType(), SQLDDL);
    EXPECT_EQ(sql->InputArea().Count(), 0);
    EXPECT_EQ(sql->InputArea().AsXSQLDA(), nullptr);
    EXPECT_EQ(sql->OutputArea().Count(), 0);
    sql->ExecQuery();
    m_transaction->Commit();
    m_transaction->StartTransaction();
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'ZIPDIC'"),
              std::vector<std::string>{"0"});
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, AffectedRowsByStatementType)
{
    Run("CREATE TABLE T (A INTEGER)");
    Run("INSERT INTO T VALUES (1)");
    Run("INSERT INTO T VALUES (2)");
    Run("INSERT INTO T VALUES (3)");
    m_transaction->StartTransaction();
    const struct {
        std::string text;
        int want;
    } cases[] = {
        {"INSERT INTO T SELECT A + 10 FROM T", 3},
        {"UPDATE T SET A = A + 1 WHERE A > 10", 3},
        {"DELETE FROM T WHERE A > 10", 3},
        {"INSERT INTO T VALUES (7)", 1},
        {"DELETE FROM T WHERE A = 99", 0},
    };
    for (const auto& c : cases) {
        auto sql = Statement(c.text);
        EXPECT_EQ(sql->AffectedRows(), -1) << c.text;   // not prepared
        sql->ExecQuery();
        EXPECT_EQ(sql->AffectedRows(), c.want) << c.text;
    }
    auto select = Statement("SELECT A FROM T");
    select->ExecQuery();
    EXPECT_EQ(select->AffectedRows(), -1);
    select->Close();
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, ClosingAStatementWhoseServerSideIsGone)
{
    Run("CREATE TABLE T (A INTEGER)");
    Run("INSERT INTO T VALUES (1)");
    Run("INSERT INTO T VALUES (2)");
    m_transaction->StartTransaction();
    auto sql = Statement("SELECT A FROM T");

    // The cursor closed behind the statement's back: closing it again is
    // the server's cursor close error, tolerated.
    sql->ExecQuery();
    isc_stmt_handle copy = sql->Handle();
    ASSERT_EQ(ClientApi().isc_dsql_free_statement(ThreadStatusVector(), &copy, DSQL_close), 0);
    EXPECT_NO_THROW(sql->Close());
    EXPECT_FALSE(sql->Open());
    sql->ExecQuery();
    EXPECT_EQ(sql->Column(0).AsText(), "1");

    // The whole server statement freed behind its back: closing and dropping
    // meet an invalid statement handle, tolerated.
    copy = sql->Handle();
    ASSERT_EQ(ClientApi().isc_dsql_free_statement(ThreadStatusVector(), &copy, DSQL_drop), 0);
    EXPECT_NO_THROW(sql->Close());
    EXPECT_NO_THROW(sql->DropStatement());
    EXPECT_EQ(sql->Handle(), 0u);
    EXPECT_FALSE(sql->Prepared());

    // Prepared anew, it works.
    sql->ExecQuery();
    EXPECT_EQ(sql->Column(0).AsText(), "1");
    sql->Close();
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, TransactionEndClosesTheCursorAndKeepsTheStatement)
{
    Run("CREATE TABLE T (A INTEGER)");
    Run("INSERT INTO T VALUES (1)");
    m_transaction->StartTransaction();
    auto sql = Statement("SELECT A FROM T");
    sql->ExecQuery();
    ASSERT_TRUE(sql->Open());
    const isc_stmt_handle handle = sql->Handle();
    m_transaction->Commit();
    EXPECT_FALSE(sql->Open());
    EXPECT_TRUE(sql->Prepared());
    EXPECT_EQ(sql->Handle(), handle);

    m_transaction->StartTransaction();
    sql->ExecQuery();   // no "IBSQ は開いています。": the cursor really was closed
    EXPECT_EQ(sql->Column(0).AsText(), "1");
    m_transaction->Rollback();
    EXPECT_FALSE(sql->Open());
}

TEST_P(StatementOnEngine, DisconnectDropsTheStatement)
{
    m_transaction->StartTransaction();
    auto sql = Statement("SELECT 1 FROM RDB$DATABASE");
    sql->ExecQuery();
    m_database->SetConnected(false);
    EXPECT_EQ(sql->Handle(), 0u);
    EXPECT_FALSE(sql->Prepared());
    EXPECT_FALSE(sql->Open());

    m_database->SetConnected(true);
    m_transaction->StartTransaction();
    sql->ExecQuery();
    EXPECT_EQ(sql->Column(0).AsText(), "1");
    sql->Close();
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, ReadingInputAreaPreparesTheCatalogueQuery)
{
    // The catalogue query finds defaults given by a domain.
    Run("CREATE DOMAIN D_N INTEGER DEFAULT 5");
    Run("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), N D_N, C COMPUTED BY (N + 1))");
    m_transaction->StartTransaction();
    auto sql = Statement(
        "Select F.RDB$COMPUTED_BLR, F.RDB$DEFAULT_VALUE, R.RDB$FIELD_NAME from RDB$RELATION_FIELDS R, "
        "RDB$FIELDS F where R.RDB$RELATION_NAME = :RELATION and R.RDB$FIELD_SOURCE = F.RDB$FIELD_NAME and "
        "((not F.RDB$COMPUTED_BLR is NULL) or      (not F.RDB$DEFAULT_VALUE is NULL)) ");
    TIBXSQLDA& input = sql->InputArea();
    EXPECT_TRUE(sql->Prepared());
    ASSERT_EQ(input.Count(), 1);
    EXPECT_EQ(input.Item(0).Name(), "RELATION");
    EXPECT_EQ(input.FindByName("relation"), &input.Item(0));

    input.Item(0).AssignText("ZIPDIC");
    sql->ExecQuery();   // fetches the first row
    std::vector<std::string> rows;
    while (!sql->AtEnd()) {
        rows.push_back(sql->Column(2).AsTrimmedText() + (sql->Column(0).IsNull() ? "" : " computed") +
                       (sql->Column(1).IsNull() ? "" : " default"));
        sql->Fetch();
    }
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{"C computed", "N default"}));
    sql->Close();

    input.Item(0).AssignText("NO_SUCH_TABLE");
    sql->ExecQuery();
    EXPECT_TRUE(sql->AtEnd());
    sql->Close();
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, ValuesComeBackAsText)
{
    const struct {
        std::string expression;
        std::string want;
    } cases[] = {
        {"CAST(12.50 AS NUMERIC(9,2))", "12.5"},
        {"CAST(-0.0001 AS NUMERIC(18,4))", "-0.0001"},
        {"CAST(1.234567 AS NUMERIC(18,6))", "1.234567"},
        {"CAST(1.5 AS DOUBLE PRECISION)", "1.5"},
        {"CAST(0.5 AS FLOAT)", "0.5"},
        {"CAST(-123 AS SMALLINT)", "-123"},
        {"CAST(123456789012 AS BIGINT)", "123456789012"},
        {"DATE '2024-01-05'", "2024/01/05"},
        {"DATE '1858-11-16'", "1858/11/16"},
        {"TIME '09:05:03.5'", "09:05:03"},
        {"TIMESTAMP '2024-01-05 09:05:03'", "2024/01/05 09:05:03"},
        {"CAST('abc' AS VARCHAR(10))", "abc"},
        {"CAST('ab' AS CHAR(5))", "ab   "},
        {"CAST('\x83\x5C\xB1' AS VARCHAR(10))", "\x83\x5C\xB1"},   // ソ and a half-width ｱ, bytes unchanged
        {"CAST(NULL AS INTEGER)", ""},
    };
    m_transaction->StartTransaction();
    for (const auto& c : cases)
        EXPECT_EQ(Rows("SELECT " + c.expression + " FROM RDB$DATABASE"), std::vector<std::string>{c.want})
            << c.expression;
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, ColumnsAreNamedAndShareTheirTable)
{
    Run("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(10))");
    Run("CREATE TABLE OTHER (ZIP VARCHAR(7))");
    m_transaction->StartTransaction();
    auto sql = Statement("SELECT ZIP, ZIP, ADK1 AS lower_alias, 1 + 1 FROM ZIPDIC");
    sql->Prepare();
    std::vector<std::string> names;
    for (int i = 0; i < sql->OutputArea().Count(); ++i)
        names.push_back(sql->OutputArea().Item(i).Name());
    EXPECT_EQ(names, (std::vector<std::string>{"ZIP", "ZIP1", "LOWER_ALIAS", "ADD"}));
    EXPECT_EQ(sql->OutputArea().UniqueRelationName(), "ZIPDIC");
    EXPECT_EQ(ClientErrorText([&] { sql->Column(4); }, ibxeFieldNotFound), Cp932("項目 \"4\" が見つかりません。"));
    EXPECT_EQ(ClientErrorText([&] { sql->Column(-1); }, ibxeFieldNotFound), Cp932("項目 \"-1\" が見つかりません。"));

    auto join = Statement("SELECT Z.ZIP, O.ZIP FROM ZIPDIC Z, OTHER O");
    join->Prepare();
    EXPECT_EQ(join->OutputArea().UniqueRelationName(), "");
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, NamedParametersCarryTheirValues)
{
    Run("CREATE TABLE T (A INTEGER, B VARCHAR(10))");
    m_transaction->StartTransaction();
    auto insert = Statement("INSERT INTO T (A, B) VALUES (:N, CAST(:N AS VARCHAR(10)) || :S)");
    TIBXSQLDA& input = insert->InputArea();
    ASSERT_EQ(input.Count(), 3);
    input.FindByName("N")->AssignText("5");   // reaches both places of N
    input.FindByName("S")->AssignText("x");
    insert->ExecQuery();
    input.FindByName("N")->AssignText("6");
    input.FindByName("S")->AssignNull(true);
    insert->ExecQuery();
    EXPECT_EQ(Rows("SELECT A, B FROM T ORDER BY A"), (std::vector<std::string>{"5|5x", "6|"}));
    m_transaction->Commit();
}

TEST_P(StatementOnEngine, UnregisteredMarksAreRefusedByTheServer)
{
    Run("CREATE TABLE T (A INTEGER, B VARCHAR(10))");
    m_transaction->StartTransaction();
    auto sql = Statement("INSERT INTO T (A, B) VALUES (:A, :B)");
    sql->InputArea().Item(0).AssignText("1");
    sql->InputArea().Item(1).AssignText("one");
    sql->ExecQuery();

    // Sent unchanged, the mark has no entry the layer bound: the server
    // refuses the execution instead of reading buffers of the old statement.
    sql->SetParamCheck(false);
    sql->SQL().Clear();
    sql->SQL().Add("INSERT INTO T (B, A) VALUES (?, 2)");
    sql->Prepare();
    EXPECT_THROW(sql->ExecQuery(), EIBInterBaseError);
    EXPECT_EQ(Rows("SELECT A, B FROM T"), std::vector<std::string>{"1|one"});
    m_transaction->Commit();
}

// A block of two rows whose body names its parameters with colons, its
// values bound as raw bytes: stored byte for byte, an empty value as empty
// and nullptr as NULL; a value the table cannot take fails the whole block,
// and the same statement then runs again with the next values.
TEST_P(StatementOnEngine, BlockOfRowsWithRawBytes)
{
    Run("CREATE TABLE T (A VARCHAR(3), B VARCHAR(4))");
    m_transaction->StartTransaction();
    auto block = Statement("EXECUTE BLOCK (A1 VARCHAR(3) = ?, B1 VARCHAR(4) = ?, A2 VARCHAR(3) = ?, B2 VARCHAR(4) = ?)"
                           " AS BEGIN INSERT INTO T VALUES (:A1, :B1); INSERT INTO T VALUES (:A2, :B2); END",
                           false);
    block->SetPositionalParams(true);
    block->Prepare();
    TIBXSQLDA& input = block->InputArea();
    ASSERT_EQ(input.Count(), 4);
    const auto bind = [&](std::vector<const char*> values) {
        for (int i = 0; i < 4; ++i)
            input[i].AssignBytes(values[i], values[i] ? std::strlen(values[i]) : 0);
    };
    bind({"1", "\x83\x5C'", "2", nullptr});
    block->ExecPrepared();
    bind({"3", "x", "long", "y"});
    EXPECT_THROW(block->ExecPrepared(), EIBInterBaseError);
    bind({"5", "", "6", "z"});
    block->ExecPrepared();
    auto rows = Statement("SELECT A, COALESCE(B, '<null>') FROM T ORDER BY A");
    rows->SetGoToFirstRecordOnExecute(false);
    rows->ExecQuery();
    std::vector<std::string> got;
    while (TIBXSQLDA* row = rows->Fetch())
        got.push_back(row->Item(0).AsText() + "|" + row->Item(1).AsText());
    EXPECT_EQ(got, (std::vector<std::string>{"1|\x83\x5C'", "2|<null>", "5|", "6|z"}));
    rows.reset();
    m_transaction->Commit();
}

// Row keys read as they are (eight raw bytes, zeros among them) and bound
// back as raw bytes into a block of deletes: exactly the rows read go.
TEST_P(StatementOnEngine, RowKeysReadAndBoundAsRawBytes)
{
    Run("CREATE TABLE T (A INTEGER)");
    Run("INSERT INTO T VALUES (1)");
    Run("INSERT INTO T VALUES (2)");
    Run("INSERT INTO T VALUES (3)");
    m_transaction->StartTransaction();
    auto rows = Statement("SELECT RDB$DB_KEY, A FROM T ORDER BY A");
    rows->SetGoToFirstRecordOnExecute(false);
    rows->ExecQuery();
    std::vector<std::string> keys;
    while (TIBXSQLDA* row = rows->Fetch())
        keys.push_back(row->Item(0).AsText());
    rows.reset();
    ASSERT_EQ(keys.size(), 3u);
    for (const std::string& key : keys)
        EXPECT_EQ(key.size(), 8u);
    EXPECT_NE(keys[0].find('\0'), std::string::npos);
    auto block = Statement("EXECUTE BLOCK (K1 CHAR(8) CHARACTER SET OCTETS = ?, K2 CHAR(8) CHARACTER SET OCTETS = ?)"
                           " AS BEGIN DELETE FROM T WHERE RDB$DB_KEY = :K1; DELETE FROM T WHERE RDB$DB_KEY = :K2; END",
                           false);
    block->SetPositionalParams(true);
    block->Prepare();
    block->InputArea()[0].AssignBytes(keys[2].data(), keys[2].size());
    block->InputArea()[1].AssignBytes(keys[0].data(), keys[0].size());
    block->ExecPrepared();
    EXPECT_EQ(Rows("SELECT A FROM T"), std::vector<std::string>{"2"});
    m_transaction->Commit();
}
