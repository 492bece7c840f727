// Statements against the scripted fake client: the calls a preparation and
// an execution make, the refusals before any call, and the faults a server
// does not produce on demand (failing describes, tolerated close errors, a
// failing fetch, the execute-procedure retry, a lost connection).
#include "FakeJournal.h"
#include "TestSupport.h"

#include <IBIntf.h>
#include <IBQuery.h>
#include <IBSQL.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr ISC_STATUS kOtherError = 335544344;   // any error the layer does not tolerate

std::string TypeReply(int type)
{
    return std::string{static_cast<char>(isc_info_sql_stmt_type), 4, 0, static_cast<char>(type), 0, 0, 0,
                       static_cast<char>(isc_info_end)};
}

// The describe call reports `columns` integer columns and fills as many
// entries as the area has room for.
void DescribeColumns(int columns, short type = SQL_LONG)
{
    fake::SetAreaHook("isc_dsql_describe", [columns, type](XSQLDA* area) {
        area->sqld = static_cast<ISC_SHORT>(columns);
        for (int i = 0; i < columns && i < area->sqln; ++i) {
            area->sqlvar[i].sqltype = type;
            area->sqlvar[i].sqllen = 4;
        }
    });
}

std::vector<std::string> DsqlCalls()
{
    std::vector<std::string> out;
    for (const fake::TCall& c : fake::Calls())
        if (c.entry.rfind("isc_dsql_", 0) == 0)
            out.push_back(c.entry.substr(9));
    return out;
}

// The prefix followed by exactly 8 decimal digits.
bool IsCursorName(const std::string& text, const std::string& prefix)
{
    return text.size() == prefix.size() + 8 && text.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(text.begin() + static_cast<std::ptrdiff_t>(prefix.size()), text.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

template <typename F>
int ClientErrorCode(F f)
{
    try {
        f();
    } catch (const EIBClientError& e) {
        return e.SqlErrorCode();
    }
    return -1;
}

template <typename F>
std::string ServerErrorText(F f)
{
    try {
        f();
    } catch (const EIBInterBaseError& e) {
        return e.Message();
    }
    ADD_FAILURE() << "no server error";
    return {};
}

class StatementFake : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseFakeClient();
        m_database = std::make_unique<TIBDatabase>("IBDatabase1");
        m_database->SetDatabaseName("fake.fdb");
        m_transaction = std::make_unique<TIBTransaction>("IBTransaction1");
        m_transaction->SetDefaultDatabase(m_database.get());
        m_database->SetDefaultTransaction(m_transaction.get());
        m_database->SetConnected(true);
        m_transaction->StartTransaction();
        m_sql = std::make_unique<TIBSQL>("Stmt");
        m_sql->SetDatabase(m_database.get());
        m_sql->SetTransaction(m_transaction.get());
        ResetFake();
    }

    // Forgets the calls and the script so far; the messages stay.
    void ResetFake()
    {
        fake::Reset();
        fake::SetMessage(kOtherError, "refused by the fake");
        fake::SetMessage(isc_bad_stmt_handle_code, "invalid statement handle");
        fake::SetMessage(isc_dsql_cursor_close_err_code, "cursor close error");
    }

    void TearDown() override
    {
        m_sql.reset();
        m_transaction.reset();
        m_database.reset();
    }

    // A prepared statement of the given type; the calls so far are forgotten.
    void Prepared(int type, const std::string& text = "SELECT 1 FROM T")
    {
        fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(type));
        m_sql->SQL().Add(text);
        m_sql->Prepare();
    }

    std::unique_ptr<TIBDatabase> m_database;
    std::unique_ptr<TIBTransaction> m_transaction;
    std::unique_ptr<TIBSQL> m_sql;
};

} // namespace

TEST_F(StatementFake, DictionaryDropPreparesAndExecutesWithoutAreas)
{
    m_sql->SetParamCheck(false);
    Prepared(SQLDDL, "DROP TABLE ZIPDIC;");
    m_sql->ExecQuery();
    EXPECT_EQ(DsqlCalls(), (std::vector<std::string>{"alloc_statement2", "prepare", "sql_info", "execute"}));
    const fake::TCall* prepare = fake::LastCall("isc_dsql_prepare");
    EXPECT_EQ(prepare->text, "DROP TABLE ZIPDIC;\r\n");
    EXPECT_EQ(prepare->numbers[0], m_transaction->Handle());
    EXPECT_EQ(prepare->numbers[2], 3);   // the connection's dialect
    EXPECT_EQ(fake::LastCall("isc_dsql_sql_info")->buffer, std::string(1, isc_info_sql_stmt_type));
    const fake::TCall* execute = fake::LastCall("isc_dsql_execute");
    EXPECT_EQ(execute->numbers[1], m_sql->Handle());
    EXPECT_EQ(execute->numbers[3], 0);   // no input structure

    // Not a select: it stays prepared and runs again.
    m_sql->ExecQuery();
    EXPECT_EQ(fake::CallCount("isc_dsql_prepare"), 1);
    EXPECT_EQ(fake::CallCount("isc_dsql_execute"), 2);
}

TEST_F(StatementFake, OutputIsDescribedOnceUnlessItHasMoreColumns)
{
    const struct {
        int columns;
        int describes;
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {7, 2}};
    for (const auto& c : cases) {
        ResetFake();
        m_sql->SQL().Clear();
        DescribeColumns(c.columns);
        Prepared(SQLSelect);
        EXPECT_EQ(fake::CallCount("isc_dsql_describe"), c.describes) << c.columns;
        EXPECT_EQ(m_sql->OutputArea().Count(), c.columns) << c.columns;
        EXPECT_EQ(fake::CallCount("isc_dsql_describe_bind"), 0) << c.columns;
    }
}

TEST_F(StatementFake, InputIsDescribedWhenTheAreaHasAStructure)
{
    fake::SetAreaHook("isc_dsql_describe_bind", [](XSQLDA* area) {
        area->sqld = 1;
        area->sqlvar[0].sqltype = SQL_TEXT + 1;
        area->sqlvar[0].sqllen = 31;
    });
    Prepared(SQLSelect, "SELECT 1 FROM T WHERE A = :RELATION");
    EXPECT_EQ(fake::CallCount("isc_dsql_describe_bind"), 1);
    EXPECT_EQ(fake::LastCall("isc_dsql_prepare")->text, "SELECT 1 FROM T WHERE A = ?\r\n");
    EXPECT_EQ(m_sql->InputArea().Count(), 1);
    EXPECT_EQ(m_sql->InputArea().Item(0).MaxLength(), 31);
    m_sql->ExecQuery();
    EXPECT_EQ(fake::LastCall("isc_dsql_execute2")->numbers[3], 1);   // the input structure is passed
}

TEST_F(StatementFake, RefusedBeforeAnyCall)
{
    const struct {
        const char* name;
        std::function<void(TIBSQL&)> arrange;
        int code;
    } cases[] = {
        {"no database", [&](TIBSQL& s) { s.SetDatabase(nullptr); s.SetTransaction(nullptr); }, ibxeDatabaseNotAssigned},
        {"not connected", [&](TIBSQL&) { m_database->SetConnected(false); }, ibxeDatabaseClosed},
        {"no transaction", [&](TIBSQL& s) { s.SetTransaction(nullptr); }, ibxeTransactionNotAssigned},
        {"transaction not active", [&](TIBSQL&) { m_transaction->Commit(); }, ibxeNotInTransaction},
        {"no lines", [&](TIBSQL& s) { s.SQL().Clear(); }, ibxeEmptyQuery},
        {"unclosed literal", [&](TIBSQL& s) { s.SQL().Clear(); s.SQL().Add("SELECT 'x"); }, ibxeSQLParseError},
    };
    for (const auto& c : cases) {
        if (!m_database->Connected())
            m_database->SetConnected(true);
        if (!m_transaction->Active())
            m_transaction->StartTransaction();
        TIBSQL sql;
        sql.SetDatabase(m_database.get());
        sql.SetTransaction(m_transaction.get());
        sql.SQL().Add("SELECT 1 FROM T");
        c.arrange(sql);
        fake::Reset();
        EXPECT_EQ(ClientErrorCode([&] { sql.Prepare(); }), c.code) << c.name;
        EXPECT_EQ(DsqlCalls(), std::vector<std::string>{}) << c.name;
        EXPECT_FALSE(sql.Prepared()) << c.name;
    }
}

TEST_F(StatementFake, FailedPreparationDropsTheServerStatement)
{
    const struct {
        const char* name;
        std::function<void()> arrange;
        int clientCode;   // -1: the fake's server error
    } cases[] = {
        {"prepare refused", [] { fake::FailNext("isc_dsql_prepare", {isc_arg_gds, kOtherError, 0}); }, -1},
        {"info refused", [] { fake::FailNext("isc_dsql_sql_info", {isc_arg_gds, kOtherError, 0}); }, -1},
        {"reply without the item", [] { fake::SetInfoReply(isc_info_sql_stmt_type, std::string(1, isc_info_end)); },
         ibxeUnknownError},
        {"reply length beyond the buffer",
         [] { fake::SetInfoReply(isc_info_sql_stmt_type, std::string{isc_info_sql_stmt_type, 9, 0, 1, 0, 0, 0, 0}); },
         ibxeUnknownError},
        {"get segment", [] { fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(SQLGetSegment)); }, ibxeNotPermitted},
        {"put segment", [] { fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(SQLPutSegment)); }, ibxeNotPermitted},
        {"start transaction", [] { fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(SQLStartTransaction)); },
         ibxeNotPermitted},
        {"describe refused",
         [] {
             fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(SQLSelect));
             fake::FailNext("isc_dsql_describe", {isc_arg_gds, kOtherError, 0});
         },
         -1},
        {"unknown column type",
         [] {
             fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(SQLSelect));
             DescribeColumns(1, 999);
         },
         ibxeUnknownSQLDataType},
    };
    for (const auto& c : cases) {
        ResetFake();
        m_sql->SQL().Clear();
        m_sql->SQL().Add("SELECT A FROM T");
        c.arrange();
        try {
            m_sql->Prepare();
            ADD_FAILURE() << c.name << ": prepared";
        } catch (const EIBClientError& e) {
            EXPECT_EQ(e.SqlErrorCode(), c.clientCode) << c.name;
        } catch (const EIBInterBaseError& e) {
            EXPECT_EQ(c.clientCode, -1) << c.name;
            EXPECT_EQ(e.Message(), "refused by the fake") << c.name;
        }
        EXPECT_EQ(fake::CallCount("isc_dsql_free_statement"), 1) << c.name;
        EXPECT_EQ(fake::LastCall("isc_dsql_free_statement")->numbers[1], DSQL_drop) << c.name;
        EXPECT_EQ(m_sql->Handle(), 0u) << c.name;
        EXPECT_FALSE(m_sql->Prepared()) << c.name;
        EXPECT_EQ(m_sql->OutputArea().Count(), 0) << c.name;
    }
}

TEST_F(StatementFake, TypesWithoutDescriptionArePreparedAsTheyAre)
{
    for (int type : {int{SQLUnknown}, 14, 99}) {
        ResetFake();
        m_sql->SQL().Clear();
        Prepared(type);
        EXPECT_TRUE(m_sql->Prepared()) << type;
        EXPECT_EQ(fake::CallCount("isc_dsql_describe"), 0) << type;
        m_sql->ExecQuery();
        EXPECT_EQ(fake::CallCount("isc_dsql_execute"), 1) << type;
    }
}

TEST_F(StatementFake, CursorIsNamedAfterTheComponent)
{
    DescribeColumns(1);
    Prepared(SQLSelect);
    m_sql->SetGoToFirstRecordOnExecute(false);
    m_sql->ExecQuery();
    const fake::TCall* named = fake::LastCall("isc_dsql_set_cursor_name");
    ASSERT_NE(named, nullptr);
    EXPECT_TRUE(IsCursorName(named->text, "Stmt")) << named->text;
    EXPECT_EQ(named->text, m_sql->CursorName());
    EXPECT_EQ(fake::CallCount("isc_dsql_fetch"), 0);

    TIBSQL unnamed;
    EXPECT_TRUE(IsCursorName(unnamed.CursorName(), "")) << unnamed.CursorName();
}

TEST_F(StatementFake, FailedCursorNamingClosesTheCursor)
{
    DescribeColumns(1);
    Prepared(SQLSelect);
    fake::FailNext("isc_dsql_set_cursor_name", {isc_arg_gds, kOtherError, 0});
    EXPECT_EQ(ServerErrorText([&] { m_sql->ExecQuery(); }), "refused by the fake");
    EXPECT_FALSE(m_sql->Open());
    ASSERT_NE(fake::LastCall("isc_dsql_free_statement"), nullptr);
    EXPECT_EQ(fake::LastCall("isc_dsql_free_statement")->numbers[1], DSQL_close);
}

TEST_F(StatementFake, FetchToTheEndAndNoFurther)
{
    DescribeColumns(1);
    Prepared(SQLSelect);
    int rows = 2;
    fake::SetHook("isc_dsql_fetch", [&rows](const fake::TCall&, ISC_STATUS*, ISC_STATUS& result) {
        result = rows-- > 0 ? 0 : 100;
        return true;
    });
    m_sql->ExecQuery();   // fetches the first row
    EXPECT_EQ(m_sql->RecordCount(), 1);
    EXPECT_FALSE(m_sql->Bof());
    EXPECT_NE(m_sql->Fetch(), nullptr);
    EXPECT_EQ(m_sql->Fetch(), nullptr);
    EXPECT_TRUE(m_sql->Eof());
    EXPECT_TRUE(m_sql->AtEnd());
    EXPECT_EQ(fake::CallCount("isc_dsql_fetch"), 3);
    EXPECT_EQ(m_sql->Fetch(), nullptr);
    EXPECT_EQ(fake::CallCount("isc_dsql_fetch"), 3);   // nothing asked of the server at the end
    EXPECT_EQ(ClientErrorCode([&] { m_sql->ExecQuery(); }), ibxeSQLOpen);
    EXPECT_EQ(ClientErrorCode([&] { m_sql->Prepare(); }), ibxeSQLOpen);
    m_sql->Close();
    EXPECT_EQ(ClientErrorCode([&] { m_sql->Fetch(); }), ibxeSQLClosed);
}

TEST_F(StatementFake, CursorErrorEndsTheRows)
{
    DescribeColumns(1);
    Prepared(SQLSelect);
    fake::FailNext("isc_dsql_fetch", {isc_arg_gds, 335544569, isc_arg_gds, isc_dsql_cursor_err_code, 0});
    m_sql->ExecQuery();
    EXPECT_TRUE(m_sql->Eof());
    EXPECT_TRUE(m_sql->Open());
    EXPECT_EQ(m_sql->RecordCount(), 0);
}

TEST_F(StatementFake, FailedFetchClosesTheCursorAndReportsTheFetch)
{
    DescribeColumns(1);
    Prepared(SQLSelect);
    m_sql->SetGoToFirstRecordOnExecute(false);
    m_sql->ExecQuery();
    fake::FailNext("isc_dsql_fetch", {isc_arg_gds, kOtherError, 0});
    // The close that follows fails too; the message is still the fetch's.
    fake::FailNext("isc_dsql_free_statement", {isc_arg_gds, isc_dsql_cursor_close_err_code, 0});
    EXPECT_EQ(ServerErrorText([&] { m_sql->Fetch(); }), "refused by the fake");
    EXPECT_FALSE(m_sql->Open());
    EXPECT_EQ(fake::LastCall("isc_dsql_free_statement")->numbers[1], DSQL_close);
    EXPECT_TRUE(m_sql->Prepared());
}

TEST_F(StatementFake, CloseAndDropTolerateAServerSideThatIsGone)
{
    const struct {
        const char* name;
        unsigned short option;
        ISC_STATUS code;
        bool raises;
    } cases[] = {
        {"close, invalid handle", DSQL_close, isc_bad_stmt_handle_code, false},
        {"close, cursor close error", DSQL_close, isc_dsql_cursor_close_err_code, false},
        {"close, other error", DSQL_close, kOtherError, true},
        {"drop, invalid handle", DSQL_drop, isc_bad_stmt_handle_code, false},
        {"drop, cursor close error", DSQL_drop, isc_dsql_cursor_close_err_code, true},
        {"drop, other error", DSQL_drop, kOtherError, true},
    };
    for (const auto& c : cases) {
        m_sql->SQL().Clear();
        ResetFake();
        DescribeColumns(1);
        Prepared(SQLSelect);
        m_sql->ExecQuery();
        fake::FailNext("isc_dsql_free_statement", {isc_arg_gds, c.code, 0});
        bool raised = false;
        try {
            if (c.option == DSQL_close)
                m_sql->Close();
            else
                m_sql->DropStatement();
        } catch (const EIBInterBaseError&) {
            raised = true;
        }
        EXPECT_EQ(raised, c.raises) << c.name;
        // Either way the cursor counts as closed, a dropped statement as gone.
        EXPECT_FALSE(m_sql->Open()) << c.name;
        EXPECT_FALSE(m_sql->Eof()) << c.name;
        EXPECT_EQ(m_sql->RecordCount(), 0) << c.name;
        if (c.option == DSQL_drop) {
            EXPECT_EQ(m_sql->Handle(), 0u) << c.name;
            EXPECT_FALSE(m_sql->Prepared()) << c.name;
        }
    }
}

TEST_F(StatementFake, ExecuteProcedureIsRetriedOnceAfterPreparingAgain)
{
    const struct {
        const char* name;
        std::vector<ISC_STATUS> first;
        bool secondFails;
        int prepares;
        int executes;
        bool raises;
    } cases[] = {
        {"succeeds", {}, false, 1, 1, false},
        {"retried", {isc_arg_gds, kOtherError, 0}, false, 2, 2, false},
        {"retried and failing", {isc_arg_gds, kOtherError, 0}, true, 2, 2, true},
        {"lock conflict", {isc_arg_gds, isc_lock_conflict_code, 0}, false, 1, 1, true},
    };
    for (const auto& c : cases) {
        m_sql->SQL().Clear();
        ResetFake();
        DescribeColumns(1);
        Prepared(SQLExecProcedure, "EXECUTE PROCEDURE P");
        if (!c.first.empty())
            fake::FailNext("isc_dsql_execute2", c.first);
        if (c.secondFails)
            fake::FailNext("isc_dsql_execute2", {isc_arg_gds, kOtherError, 0});
        bool raised = false;
        try {
            m_sql->ExecQuery();
        } catch (const EIBInterBaseError&) {
            raised = true;
        }
        EXPECT_EQ(raised, c.raises) << c.name;
        EXPECT_EQ(fake::CallCount("isc_dsql_prepare"), c.prepares) << c.name;
        EXPECT_EQ(fake::CallCount("isc_dsql_execute2"), c.executes) << c.name;
        EXPECT_EQ(fake::LastCall("isc_dsql_prepare")->text, "EXECUTE PROCEDURE P\r\n") << c.name;
        EXPECT_EQ(fake::LastCall("isc_dsql_execute2")->numbers[4], 1) << c.name;   // the output structure
        EXPECT_FALSE(m_sql->Open()) << c.name;
    }
}

TEST_F(StatementFake, SelectForUpdateOpensNoCursor)
{
    DescribeColumns(1);
    Prepared(SQLSelectForUpdate);
    m_sql->ExecQuery();
    EXPECT_FALSE(m_sql->Open());
    EXPECT_EQ(fake::CallCount("isc_dsql_execute"), 1);
    EXPECT_EQ(fake::CallCount("isc_dsql_set_cursor_name"), 0);
}

TEST_F(StatementFake, ExecutionWithoutAStatementHandleIsRefused)
{
    fake::SetHook("isc_dsql_alloc_statement2", [](const fake::TCall&, ISC_STATUS*, ISC_STATUS& result) {
        result = 0;   // succeeds without handing out a handle
        return true;
    });
    Prepared(SQLInsert);
    EXPECT_EQ(ClientErrorCode([&] { m_sql->ExecQuery(); }), ibxeInvalidStatementHandle);
    EXPECT_EQ(fake::CallCount("isc_dsql_execute"), 0);
}

TEST_F(StatementFake, ChangingTheLinesDropsTheServerStatement)
{
    Prepared(SQLInsert);
    const isc_stmt_handle handle = m_sql->Handle();
    int changing = 0;
    m_sql->OnSQLChanging = [&](TComponent* sender) {
        EXPECT_EQ(sender, m_sql.get());
        EXPECT_NE(m_sql->Handle(), 0u);   // told before the statement is dropped
        ++changing;
    };
    m_sql->SQL().Add("-- more");
    EXPECT_EQ(changing, 1);
    EXPECT_EQ(m_sql->Handle(), 0u);
    EXPECT_FALSE(m_sql->Prepared());
    const fake::TCall* drop = fake::LastCall("isc_dsql_free_statement");
    ASSERT_NE(drop, nullptr);
    EXPECT_EQ(drop->numbers[0], handle);
    EXPECT_EQ(drop->numbers[1], DSQL_drop);
}

TEST_F(StatementFake, DestructionClosesAndDrops)
{
    DescribeColumns(1);
    Prepared(SQLSelect);
    m_sql->ExecQuery();
    fake::FailNext("isc_dsql_free_statement", {isc_arg_gds, kOtherError, 0}, 2);
    EXPECT_NO_THROW(m_sql.reset());   // what the server says is swallowed
    EXPECT_EQ(fake::CallCount("isc_dsql_free_statement"), 2);
    EXPECT_EQ(m_transaction->SqlObjects().Count(), 0);
    EXPECT_EQ(m_database->SqlObjects().Count(), 1);   // its own catalogue statement
}

TEST_F(StatementFake, LostConnectionDuringAFetchClosesTheConnection)
{
    DescribeColumns(1);
    Prepared(SQLSelect);
    m_sql->SetGoToFirstRecordOnExecute(false);
    m_sql->ExecQuery();
    LoseConnection();
    fake::FailNext("isc_dsql_fetch", kLostConnection);
    fake::FailNext("isc_dsql_free_statement", kLostConnection, 10);
    EXPECT_THROW(m_sql->Fetch(), EIBInterBaseError);
    EXPECT_FALSE(m_database->Connected());
    EXPECT_FALSE(m_transaction->Active());
    EXPECT_EQ(m_sql->Handle(), 0u);
    EXPECT_FALSE(m_sql->Open());
    EXPECT_FALSE(m_sql->Prepared());
}

TEST_F(StatementFake, AffectedRowsAreFoundByTheirItemCodes)
{
    // update, delete, select, insert counts as the server lists them
    auto count = [](char item, int value) {
        return std::string{item, 4, 0, static_cast<char>(value), 0, 0, 0};
    };
    const std::string reply = std::string{isc_info_sql_records, 28, 0} + count(isc_info_req_update_count, 3) +
                              count(isc_info_req_delete_count, 4) + count(isc_info_req_select_count, 5) +
                              count(isc_info_req_insert_count, 6) + std::string(1, isc_info_end);
    const struct {
        int type;
        int want;
    } cases[] = {{SQLUpdate, 3}, {SQLDelete, 4}, {SQLInsert, 6}, {SQLSelect, -1}, {SQLDDL, -1}};
    for (const auto& c : cases) {
        m_sql->SQL().Clear();
        ResetFake();
        fake::SetInfoReply(isc_info_sql_records, reply);
        DescribeColumns(1);
        Prepared(c.type);
        EXPECT_EQ(m_sql->AffectedRows(), c.want) << c.type;
        EXPECT_EQ(fake::LastCall("isc_dsql_sql_info")->buffer, std::string(1, isc_info_sql_records)) << c.type;
    }
    m_sql->SQL().Clear();
    ResetFake();
    EXPECT_EQ(m_sql->AffectedRows(), -1);
    EXPECT_EQ(fake::CallCount("isc_dsql_sql_info"), 0);
}

TEST(QueryFake, AfterCommitChangingTheLinesCallsNoServer)
{
    UseFakeClient();
    TIBDatabase database("IBDatabase1");
    database.SetDatabaseName("fake.fdb");
    TIBTransaction transaction("IBTransaction1");
    transaction.SetDefaultDatabase(&database);
    database.SetDefaultTransaction(&transaction);
    TIBQuery query("IBQuery1");
    query.SetDatabase(&database);
    query.SetTransaction(&transaction);
    database.SetConnected(true);
    fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(SQLInsert));

    transaction.StartTransaction();
    query.SetParamCheck(false);
    query.SQL().Add("INSERT INTO ZIPDIC (ZIP) VALUES ('0600000');");
    query.Prepare();
    query.Execute();
    EXPECT_EQ(DsqlCalls(), (std::vector<std::string>{"alloc_statement2", "prepare", "sql_info", "execute"}));
    transaction.Commit();
    EXPECT_EQ(fake::LastCall("isc_dsql_free_statement")->numbers[1], DSQL_drop);
    EXPECT_TRUE(query.IsPrepared());
    EXPECT_FALSE(query.SelectSQL().Prepared());

    const std::size_t calls = fake::Calls().size();
    query.SQL().Clear();
    query.SQL().Add("INSERT INTO ZIPDIC (ZIP) VALUES ('0600001');");
    EXPECT_FALSE(query.IsPrepared());
    EXPECT_EQ(fake::Calls().size(), calls);
}

TEST(QueryFake, SelectStatementAndQueryTextFollowEveryChange)
{
    UseFakeClient();
    TIBQuery query("IBQuery1");
    const struct {
        const char* name;
        bool paramCheck;
        std::function<void(TStringList&)> change;
        std::string queryText;
    } steps[] = {
        {"add", false, [](TStringList& l) { l.Add("INSERT INTO T (A)"); }, "INSERT INTO T (A)\r\n"},
        {"add again", false, [](TStringList& l) { l.Add("VALUES (:A)"); }, "INSERT INTO T (A)\r\nVALUES (:A)\r\n"},
        {"put", false, [](TStringList& l) { l.Put(0, "INSERT INTO U (A)"); }, "INSERT INTO U (A)\r\nVALUES (:A)\r\n"},
        {"put, parameters on", true, [](TStringList& l) { l.Put(0, "INSERT INTO T (A)"); },
         "INSERT INTO T (A)\r\nVALUES (?)\r\n"},
        {"delete", false, [](TStringList& l) { l.Delete(0); }, "VALUES (:A)\r\n"},
        {"add after delete", false, [](TStringList& l) { l.Add("X"); }, "VALUES (:A)\r\nX\r\n"},
        {"clear", false, [](TStringList& l) { l.Clear(); }, ""},
        {"add to empty", false, [](TStringList& l) { l.Add("DROP TABLE ZIPDIC;"); }, "DROP TABLE ZIPDIC;\r\n"},
    };
    for (const auto& s : steps) {
        query.SetParamCheck(s.paramCheck);
        s.change(query.SQL());
        EXPECT_EQ(query.SelectSQL().SQL().Lines(), query.SQL().Lines()) << s.name;
        EXPECT_EQ(query.QueryText(), s.queryText) << s.name;
    }
}

TEST(QueryFake, LinksAreGoneWhateverDiesFirst)
{
    UseFakeClient();
    fake::SetInfoReply(isc_info_sql_stmt_type, TypeReply(SQLInsert));
    for (int order = 0; order < 3; ++order) {
        auto database = std::make_unique<TIBDatabase>("IBDatabase1");
        database->SetDatabaseName("fake.fdb");
        auto transaction = std::make_unique<TIBTransaction>("IBTransaction1");
        transaction->SetDefaultDatabase(database.get());
        database->SetDefaultTransaction(transaction.get());
        auto query = std::make_unique<TIBQuery>("IBQuery1");
        query->SetDatabase(database.get());
        query->SetTransaction(transaction.get());
        database->SetConnected(true);
        transaction->StartTransaction();
        query->SQL().Add("INSERT INTO ZIPDIC (ZIP) VALUES ('0600000');");
        query->Execute();   // holds a server statement now
        switch (order) {
        case 0:
            query.reset();
            EXPECT_EQ(transaction->SqlObjects().Count(), 0);
            EXPECT_EQ(database->SqlObjects().Count(), 1);   // its own catalogue statement
            EXPECT_EQ(database->ClientCount(), 0);
            break;
        case 1:
            transaction.reset();   // commits; the statement is released first
            EXPECT_EQ(query->Transaction(), nullptr);
            EXPECT_EQ(query->SelectSQL().Handle(), 0u);
            break;
        case 2:
            database.reset();   // disconnects; the statement is dropped first
            EXPECT_EQ(query->Database(), nullptr);
            EXPECT_EQ(query->SelectSQL().Database(), nullptr);
            EXPECT_EQ(query->SelectSQL().Handle(), 0u);
            break;
        }
        EXPECT_EQ(fake::LastCall("isc_dsql_free_statement")->numbers[1], DSQL_drop) << order;
        // The rest goes in the remaining order; the sanitizer build checks it.
        query.reset();
        transaction.reset();
        database.reset();
    }
}

// Positional parameters of a text sent as it stands: the area grows to what
// the server describes; a refused run of the prepared statement is neither
// prepared again nor retried, and the next run needs no prepare either.
TEST_F(StatementFake, PositionalParamsAndExecPrepared)
{
    fake::SetAreaHook("isc_dsql_describe_bind", [](XSQLDA* area) {
        area->sqld = 3;
        for (int i = 0; i < 3 && i < area->sqln; ++i) {
            area->sqlvar[i].sqltype = SQL_VARYING + 1;
            area->sqlvar[i].sqllen = 4;
        }
    });
    m_sql->SetParamCheck(false);
    m_sql->SetPositionalParams(true);
    Prepared(SQLExecProcedure, "EXECUTE BLOCK (A VARCHAR(4) = ?, B VARCHAR(4) = ?, C VARCHAR(4) = ?) AS BEGIN"
                               " INSERT INTO T VALUES (:A, :B, :C); END");
    EXPECT_EQ(fake::CallCount("isc_dsql_describe_bind"), 2);
    EXPECT_NE(fake::LastCall("isc_dsql_prepare")->text.find("VALUES (:A, :B, :C)"), std::string::npos);
    TIBXSQLDA& input = m_sql->InputArea();
    ASSERT_EQ(input.Count(), 3);
    EXPECT_EQ(input.Names(), (std::vector<std::string>{"1", "2", "3"}));
    input[0].AssignBytes("abcdefgh", 8);   // longer than described: the server decides
    input[1].AssignBytes("", 0);
    input[2].AssignBytes(nullptr, 0);
    const XSQLDA* area = input.AsXSQLDA();
    EXPECT_EQ(std::string(area->sqlvar[0].sqldata, area->sqlvar[0].sqllen), "abcdefgh");
    EXPECT_EQ(area->sqlvar[0].sqltype, SQL_TEXT + 1);
    EXPECT_EQ(*area->sqlvar[0].sqlind, 0);
    EXPECT_EQ(area->sqlvar[1].sqllen, 0);
    EXPECT_EQ(*area->sqlvar[1].sqlind, 0);
    EXPECT_EQ(*area->sqlvar[2].sqlind, -1);

    fake::FailNext("isc_dsql_execute", {isc_arg_gds, kOtherError, 0});
    EXPECT_EQ(ServerErrorText([&] { m_sql->ExecPrepared(); }), "refused by the fake");
    m_sql->ExecPrepared();
    EXPECT_EQ(fake::CallCount("isc_dsql_prepare"), 1);
    EXPECT_EQ(fake::CallCount("isc_dsql_execute"), 2);
    EXPECT_EQ(fake::LastCall("isc_dsql_execute")->numbers[3], 1);   // the input structure is passed
    EXPECT_TRUE(m_sql->Prepared());

    m_sql->DropStatement();
    EXPECT_EQ(ClientErrorCode([&] { m_sql->ExecPrepared(); }), ibxeInvalidStatementHandle);
}
