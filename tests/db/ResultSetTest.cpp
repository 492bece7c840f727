// The query's result set: fetches, the row cache and failing fetches against
// the fake client library; values, field texts, the table-name listing and
// the schema cache against the real engines.
#include "TestSupport.h"

#include "FakeScript.h"

#include <IBQuery.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr ISC_STATUS kOtherError = 335544344;

std::string TypeReply(int type)
{
    return std::string{static_cast<char>(isc_info_sql_stmt_type), 4, 0, static_cast<char>(type), 0, 0, 0,
                       static_cast<char>(isc_info_end)};
}

void SetName(char* field, ISC_SHORT& length, const std::string& name)
{
    std::memset(field, 0, 32);
    std::memcpy(field, name.data(), name.size());
    length = static_cast<ISC_SHORT>(name.size());
}

// IBQuery1 on the fake library, selecting `rows` rows of one nullable
// VARCHAR(8) column V of table T whose values are "r0", "r1", ...; the
// schema cache's catalogue statement is told apart by its text.
class ResultSetFake : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseFakeClient();
        fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(SQLSelect));
        fake::SetAreaHook("isc_dsql_describe", [this](XSQLDA* area) { Describe(area); });
        fake::SetAreaHook("isc_dsql_describe_bind", [](XSQLDA* area) {
            area->sqld = CatalogueIsPreparing() ? 1 : 0;
            if (area->sqld && area->sqln) {
                area->sqlvar[0].sqltype = SQL_TEXT;
                area->sqlvar[0].sqllen = 31;
            }
        });
        fake::SetHook("isc_dsql_fetch", [this](const fake::TCall& call, ISC_STATUS*, ISC_STATUS& result) {
            result = 100;
            if (static_cast<isc_stmt_handle>(call.numbers[0]) != m_query->SelectSQL().Handle())
                return true;   // the catalogue knows no computed or defaulted columns
            ++m_fetches;
            if (m_next < m_rows) {
                const std::string value = "r" + std::to_string(m_next++);
                XSQLVAR& var = m_area->sqlvar[0];
                var.sqldata[0] = static_cast<char>(value.size());
                var.sqldata[1] = 0;
                std::memcpy(var.sqldata + 2, value.data(), value.size());
                *var.sqlind = 0;
                if (m_area->sqld > 1) {
                    const ISC_SHORT number = m_next - 1 == m_badRow ? 1 : 0;
                    std::memcpy(m_area->sqlvar[1].sqldata, &number, sizeof number);
                }
                result = 0;
            }
            return true;
        });
        m_database = std::make_unique<TIBDatabase>("IBDatabase1");
        m_database->SetDatabaseName("fake.fdb");
        m_transaction = std::make_unique<TIBTransaction>("IBTransaction1");
        m_transaction->SetDefaultDatabase(m_database.get());
        m_database->SetDefaultTransaction(m_transaction.get());
        m_query = std::make_unique<TIBQuery>("IBQuery1");
        m_query->SetDatabase(m_database.get());
        m_query->SetTransaction(m_transaction.get());
        m_query->SQL().Add("SELECT * FROM T");
        m_database->SetConnected(true);
    }

    void TearDown() override
    {
        m_query.reset();
        m_transaction.reset();
        m_database.reset();
    }

    static bool CatalogueIsPreparing()
    {
        const fake::TCall* prepare = fake::LastCall("isc_dsql_prepare");
        return prepare && prepare->text.find("RDB$RELATION_FIELDS") != std::string::npos;
    }

    void Describe(XSQLDA* area)
    {
        if (CatalogueIsPreparing()) {
            area->sqld = 3;
            if (area->sqln < 3)
                return;
            for (int i = 0; i < 2; ++i) {
                area->sqlvar[i].sqltype = SQL_BLOB | 1;
                area->sqlvar[i].sqllen = 8;
            }
            area->sqlvar[2].sqltype = SQL_TEXT;
            area->sqlvar[2].sqllen = 31;
            return;
        }
        area->sqld = m_withNumber ? 2 : 1;
        if (area->sqln < area->sqld)
            return;
        if (m_withNumber) {
            // No server sends a positive scale, but the client's areas allow
            // it: any value but 0 overflows the currency the column is read as.
            area->sqlvar[1].sqltype = SQL_SHORT;
            area->sqlvar[1].sqlscale = 15;
            area->sqlvar[1].sqllen = 2;
        }
        XSQLVAR& var = area->sqlvar[0];
        var.sqltype = SQL_VARYING | 1;
        var.sqllen = 8;
        SetName(var.relname, var.relname_length, "T");
        SetName(var.sqlname, var.sqlname_length, "V");
        SetName(var.aliasname, var.aliasname_length, "V");
        m_area = area;
    }

    // Executions of the catalogue statement.
    static int Catalogues()
    {
        long long handle = -1;
        int n = 0;
        for (const fake::TCall& c : fake::Calls()) {
            if (c.entry == "isc_dsql_prepare" && c.text.find("RDB$RELATION_FIELDS") != std::string::npos)
                handle = c.numbers[1];
            if (c.entry == "isc_dsql_execute2" && c.numbers[1] == handle)
                ++n;
        }
        return n;
    }

    // The values from First to Eof.
    std::vector<std::string> Walk()
    {
        std::vector<std::string> seen;
        m_query->First();
        EXPECT_TRUE(m_query->Bof());
        while (!m_query->Eof()) {
            seen.push_back(m_query->Fields()[0].AsString());
            m_query->Next();
        }
        return seen;
    }

    int m_rows = 0;
    int m_next = 0;
    bool m_withNumber = false;  // a second column, a number that fails to convert in row m_badRow
    int m_badRow = -1;
    int m_fetches = 0;
    XSQLDA* m_area = nullptr;
    std::unique_ptr<TIBDatabase> m_database;
    std::unique_ptr<TIBTransaction> m_transaction;
    std::unique_ptr<TIBQuery> m_query;
};

std::vector<std::string> Rows(int n)
{
    std::vector<std::string> rows;
    for (int i = 0; i < n; ++i)
        rows.push_back("r" + std::to_string(i));
    return rows;
}

} // namespace

TEST_F(ResultSetFake, NRowsCostNPlusOneFetchesAndFirstSendsNothing)
{
    for (int rows : {0, 1, 3}) {
        m_rows = rows;
        m_next = m_fetches = 0;
        m_query->Open();
        EXPECT_EQ(m_fetches, 1) << rows;    // the first row, or the end
        EXPECT_TRUE(m_query->Bof()) << rows;
        EXPECT_EQ(Walk(), Rows(rows)) << rows;
        EXPECT_EQ(m_fetches, rows + 1) << rows;
        // The cache answers a second walk; past the end nothing is sent.
        EXPECT_EQ(Walk(), Rows(rows)) << rows;
        m_query->Next();
        EXPECT_TRUE(m_query->Eof()) << rows;
        EXPECT_EQ(m_fetches, rows + 1) << rows;
        if (rows > 0) {
            EXPECT_EQ(m_query->Fields()[0].AsString(), "r" + std::to_string(rows - 1)) << "the last row stays";
        }
        m_query->Close();
        EXPECT_EQ(m_query->Fields().Count(), 0);
    }
}

TEST_F(ResultSetFake, CacheGrowsByWholeChunksAtEveryThousandthRow)
{
    m_rows = 2001;
    m_query->Open();
    m_query->First();
    const std::size_t chunk = static_cast<std::size_t>(m_query->RecordBufferSize()) * 1000;
    EXPECT_EQ(m_query->CacheSize(), chunk);
    const struct {
        int stored;
        int growths;
    } moments[] = {{999, 0}, {1000, 1}, {1999, 1}, {2000, 2}, {2001, 2}};
    for (const auto& m : moments) {
        while (m_query->FetchedRowCount() < m.stored)
            m_query->Next();
        EXPECT_EQ(m_query->CacheGrowCount(), m.growths) << m.stored;
        EXPECT_EQ(m_query->CacheSize(), chunk * static_cast<std::size_t>(m.growths + 1)) << m.stored;
    }
    // Rows of every chunk read back intact after the block moved.
    m_query->First();
    EXPECT_EQ(m_query->Fields()[0].AsString(), "r0");
    for (int i = 0; i < 1500; ++i)
        m_query->Next();
    EXPECT_EQ(m_query->Fields()[0].AsString(), "r1500");
}

TEST_F(ResultSetFake, FailingFetchesLeaveTheStatesThatFollow)
{
    // The first fetch, inside Open: open, nothing held, First finds the end.
    m_rows = 3;
    m_database->Schema()->IsComputed("T", "V");   // the catalogue makes no fetch of its own now
    fake::FailNext("isc_dsql_fetch", {isc_arg_gds, kOtherError, 0});
    EXPECT_THROW(m_query->Open(), EIBInterBaseError);
    EXPECT_TRUE(m_query->Active());
    const int fetches = fake::CallCount("isc_dsql_fetch");
    m_query->First();
    EXPECT_TRUE(m_query->Eof());
    EXPECT_EQ(m_query->Fields()[0].AsString(), "");
    EXPECT_EQ(fake::CallCount("isc_dsql_fetch"), fetches);
    m_query->Close();

    // A fetch inside Next: the row stays; the next move finds the end.
    m_next = 0;
    m_query->Open();
    m_query->First();
    m_query->Next();
    fake::FailNext("isc_dsql_fetch", {isc_arg_gds, kOtherError, 0});
    EXPECT_THROW(m_query->Next(), EIBInterBaseError);
    EXPECT_FALSE(m_query->Eof());
    EXPECT_EQ(m_query->Fields()[0].AsString(), "r1");
    const int before = fake::CallCount("isc_dsql_fetch");
    m_query->Next();
    EXPECT_TRUE(m_query->Eof());
    EXPECT_EQ(m_query->Fields()[0].AsString(), "r1");
    EXPECT_EQ(fake::CallCount("isc_dsql_fetch"), before);
}

TEST_F(ResultSetFake, RowThatFailsToConvertEndsTheRows)
{
    m_withNumber = true;
    m_rows = 3;
    m_query->Open();
    EXPECT_EQ(Walk(), Rows(3));
    m_query->Close();

    // The first row: Open fails; First shows nothing of the query before.
    m_next = 0;
    m_badRow = 0;
    ClientErrorText([&] { m_query->Open(); }, 38);
    EXPECT_TRUE(m_query->Active());
    const int fetches = m_fetches;
    EXPECT_EQ(Walk(), std::vector<std::string>{});
    EXPECT_EQ(m_fetches, fetches);
    m_query->Close();

    // A later row: Next fails, the row before stays; the next Next finds the
    // end, neither an empty row nor the row after the failing one.
    m_next = 0;
    m_badRow = 1;
    m_query->Open();
    m_query->First();
    ClientErrorText([&] { m_query->Next(); }, 38);
    EXPECT_FALSE(m_query->Eof());
    EXPECT_EQ(m_query->Fields()[0].AsString(), "r0");
    m_query->Next();
    EXPECT_TRUE(m_query->Eof());
    EXPECT_EQ(m_query->Fields()[0].AsString(), "r0");
    EXPECT_EQ(Walk(), Rows(1));
    EXPECT_EQ(m_fetches, fetches + 2);
}

TEST_F(ResultSetFake, ReopeningPreparesNothingAndTheCatalogueIsAskedOnce)
{
    m_rows = 2;
    m_query->Open();
    EXPECT_EQ(Catalogues(), 1);
    const int prepares = fake::CallCount("isc_dsql_prepare");
    m_query->Close();
    m_next = 0;
    m_query->Open();
    EXPECT_EQ(fake::CallCount("isc_dsql_prepare"), prepares);
    EXPECT_EQ(Walk(), Rows(2));   // executed again, from the first row

    // Ending the transaction closes the set and drops the statement: the
    // next Open prepares again, and the cache still answers.
    m_transaction->Commit();
    EXPECT_FALSE(m_query->Active());
    m_next = 0;
    m_query->Open();
    EXPECT_EQ(fake::CallCount("isc_dsql_prepare"), prepares + 1);
    EXPECT_EQ(Catalogues(), 1);
    EXPECT_TRUE(m_transaction->Active());   // Open starts it and leaves it so
    m_query->Close();
    EXPECT_TRUE(m_transaction->Active());
}

TEST_F(ResultSetFake, ListingCommitsAndFreesWhenTheQueryFails)
{
    fake::FailNext("isc_dsql_prepare", {isc_arg_gds, kOtherError, 0});
    TStringList names{"left over"};
    EXPECT_THROW(m_database->ListTableNames(names, false), EIBInterBaseError);
    EXPECT_FALSE(m_database->InternalTransaction()->Active());
    EXPECT_EQ(fake::CallCount("isc_commit_transaction"), 1);
    EXPECT_EQ(fake::CallCount("isc_dsql_free_statement"), 1);
}

// ---------------------------------------------------------------- engines

namespace {

class ResultSetOnEngine : public EngineTest {
protected:
    void SetUp() override
    {
        SetUpEngine("resultset-");
        m_query = std::make_unique<TIBQuery>("IBQuery1");
        m_query->SetDatabase(m_database.get());
        m_query->SetTransaction(m_transaction.get());
    }

    void TearDown() override
    {
        m_query.reset();
        EngineTest::TearDown();
    }

    void Exec(const std::vector<std::string>& statements)
    {
        for (const std::string& sql : statements) {
            m_transaction->StartTransaction();
            ExecSql(*m_database, *m_transaction, sql);
            m_transaction->Commit();
        }
    }

    // Every row as the search lists it: each value followed by ",".
    std::vector<std::string> Lines(const std::string& select)
    {
        m_query->SQL().Clear();
        m_query->SQL().Add(select);
        m_query->Open();
        m_query->First();
        std::vector<std::string> lines;
        while (!m_query->Eof()) {
            std::string line;
            for (int i = 0; i < m_query->Fields().Count(); ++i)
                line += m_query->Fields()[i].AsString() + ",";
            lines.push_back(line);
            m_query->Next();
        }
        m_query->Close();
        return lines;
    }

    std::unique_ptr<TIBQuery> m_query;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Engine, ResultSetOnEngine, ::testing::Values(TTarget::Server, TTarget::Embedded),
                         TargetName);

TEST_P(ResultSetOnEngine, TextsComeBackByteForByte)
{
    const std::string kana = Cp932("ｻｯﾎﾟﾛｼ");
    const std::string kanji = Cp932("郵便番号");
    Exec({"CREATE TABLE T (ID INTEGER, V VARCHAR(8), C CHAR(4))",
          "INSERT INTO T VALUES (1, NULL, NULL)",
          "INSERT INTO T VALUES (2, '', 'ab')",
          "INSERT INTO T VALUES (3, 'abcdefgh', 'abcd')",
          "INSERT INTO T VALUES (4, 'ab  ', ' b')",
          "INSERT INTO T VALUES (5, x'61006263', x'78007900')",
          "INSERT INTO T VALUES (6, '" + kanji + "', '" + kana.substr(0, 4) + "')"});
    const std::vector<std::string> want = {
        "1,,,",
        "2,,ab  ,",
        "3,abcdefgh,abcd,",
        "4,ab  , b  ,",
        "5,a,x,",
        "6," + kanji + "," + kana.substr(0, 4) + ",",
    };
    EXPECT_EQ(Lines("SELECT * FROM T ORDER BY ID"), want);
    EXPECT_EQ(m_query->FieldDefs().Items(2).Attributes & faFixed, faFixed);
}

TEST_P(ResultSetOnEngine, EveryKindReadsAsTheStatementsText)
{
    const std::string select =
        "SELECT CAST(-7 AS SMALLINT), 123456, CAST(-9000000000 AS BIGINT), CAST(12.5 AS NUMERIC(9,2)), "
        "CAST(-0.0001 AS NUMERIC(18,4)), CAST(1.5 AS DOUBLE PRECISION), CAST(123.456789 AS NUMERIC(18,6)), "
        "DATE '2026-12-08', TIME '13:45:07', TIMESTAMP '1899-12-29 06:00:00', CAST(NULL AS INTEGER) "
        "FROM RDB$DATABASE";
    m_transaction->StartTransaction();
    TIBSQL sql;
    sql.SetDatabase(m_database.get());
    sql.SetTransaction(m_transaction.get());
    sql.SQL().Add(select);
    sql.ExecQuery();
    std::string want;
    for (int i = 0; i < sql.OutputArea().Count(); ++i)
        want += sql.Column(i).AsText() + ",";
    sql.Close();
    m_transaction->Commit();
    EXPECT_EQ(Lines(select), std::vector<std::string>{want});
    EXPECT_EQ(want, "-7,123456,-9000000000,12.5,-0.0001,1.5,123.456789,2026/12/08,13:45:07,1899/12/29 06:00:00,,");
}

TEST_P(ResultSetOnEngine, BlobTextsRaiseUnlessNull)
{
    Exec({"CREATE TABLE B (ID INTEGER, MEMO BLOB SUB_TYPE 1, BIN BLOB)", "INSERT INTO B VALUES (1, NULL, NULL)",
          "INSERT INTO B VALUES (2, 'text', x'00ff')"});
    m_query->SQL().Add("SELECT MEMO, BIN FROM B ORDER BY ID");
    m_query->Open();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(m_query->Fields()[i].AsString(), "") << i;
    m_query->Next();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(ClientErrorText([&] { m_query->Fields()[i].AsString(); }, ibxeNotSupported),
                  Cp932("サポートされていない機能"))
            << i;
    m_query->Close();
}

TEST_P(ResultSetOnEngine, BigintDecimalsReadWholeToTheEndsOfTheirRange)
{
    Exec({"CREATE TABLE N (ID INTEGER, N1 NUMERIC(18,1), N2 NUMERIC(18,2), N3 NUMERIC(18,3))",
          "INSERT INTO N VALUES (1, 922337203685477580.7, 92233720368547758.07, 9223372036854775.807)",
          "INSERT INTO N SELECT 2, -N1 - 0.1, -N2 - 0.01, -N3 - 0.001 FROM N"});
    const std::string select = "SELECT * FROM N ORDER BY ID";
    std::vector<std::string> statement;
    for (std::string row : SelectRows(*m_database, *m_transaction, select)) {
        std::replace(row.begin(), row.end(), '|', ',');
        statement.push_back(row + ",");
    }
    EXPECT_EQ(statement, (std::vector<std::string>{
                             "1,922337203685477580.7,92233720368547758.07,9223372036854775.807,",
                             "2,-922337203685477580.8,-92233720368547758.08,-9223372036854775.808,"}));
    EXPECT_EQ(Lines(select), statement);
}

TEST_P(ResultSetOnEngine, ListingShowsBaseTablesOnly)
{
    Exec({"CREATE TABLE ZIPDIC2 (A INTEGER)", "CREATE TABLE ZIPDIC (A INTEGER)",
          "CREATE VIEW ZIPVIEW AS SELECT A FROM ZIPDIC"});
    TStringList names;
    m_database->ListTableNames(names, false);
    EXPECT_EQ(names.Lines(), (std::vector<std::string>{"ZIPDIC", "ZIPDIC2"}));
    EXPECT_FALSE(m_database->InternalTransaction()->Active());

    m_database->ListTableNames(names, true);
    EXPECT_GT(names.Count(), 2);
    EXPECT_EQ(names.IndexOf("ZIPVIEW"), -1);
    EXPECT_NE(names.IndexOf("RDB$RELATIONS"), -1);
    EXPECT_EQ(names[names.Count() - 1], "ZIPDIC2");   // the server's order, no blanks
    for (const std::string& name : names.Lines())
        EXPECT_TRUE(name == "ZIPDIC" || name == "ZIPDIC2" || name.rfind("RDB$", 0) == 0 ||
                    name.rfind("MON$", 0) == 0 || name.rfind("SEC$", 0) == 0)
            << name;

    // A detached connection attaches for the listing.
    m_database->SetConnected(false);
    m_database->ListTableNames(names, false);
    EXPECT_TRUE(m_database->Connected());
    EXPECT_EQ(names.Count(), 2);
}

TEST_P(ResultSetOnEngine, SchemaCacheKnowsComputedAndDefaultedColumns)
{
    Exec({"CREATE DOMAIN DFIVE AS INTEGER DEFAULT 5", "CREATE TABLE S (A INTEGER, B DFIVE, C COMPUTED BY (A + 1))",
          "INSERT INTO S (A) VALUES (1)"});
    EXPECT_EQ(Lines("SELECT A, B, C FROM S"), std::vector<std::string>{"1,5,2,"});
    const TFieldDefs& defs = m_query->FieldDefs();
    EXPECT_FALSE(defs.Items(1).InternalCalcField);
    EXPECT_TRUE(defs.Items(2).InternalCalcField);
    EXPECT_EQ(defs.Items(2).Attributes, TFieldAttributes{faReadonly});
    TSchema& schema = *m_database->Schema();
    EXPECT_TRUE(schema.HasDefault("S", "B"));
    EXPECT_FALSE(schema.HasDefault("S", "A"));
    EXPECT_TRUE(schema.IsComputed("S", "C"));
    EXPECT_EQ(schema.RelationCount(), 1);

    // Kept across a reconnect, emptied by another database name.
    m_database->SetConnected(false);
    m_database->SetConnected(true);
    EXPECT_EQ(schema.RelationCount(), 1);
    m_database->SetConnected(false);
    m_database->SetDatabaseName(m_database->DatabaseName() + ".other");
    EXPECT_EQ(schema.RelationCount(), 0);
}
