// The connection and transactions against the real client library: the test
// server on 127.0.0.1 and the embedded engine. A server that does not answer
// fails these tests with its connection error; without a test server named
// in the environment they are skipped.
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

void Attach(TIBDatabase& database, const std::string& name)
{
    database.SetDatabaseName(name);
    SetLoginParams(database);
    database.SetConnected(true);
}

const char* const kCreateTable = "CREATE TABLE T (ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(20))";

// Creates table T in a transaction of its own.
void CreateTable(TIBDatabase& database, TIBTransaction& transaction)
{
    transaction.StartTransaction();
    ExecSql(database, transaction, kCreateTable);
    transaction.Commit();
}

} // namespace

TEST(Server, CreateAttachesAndAConnectReadsTheDialectBack)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    for (const TEngineDatabase& c : OnBothEngines("create")) {
        const TDroppedAtEnd dropped{c.name};
        TIBDatabase database;
        database.SetDatabaseName(c.name);
        SetCreateParams(database);
        database.CreateNewDatabase();
        EXPECT_TRUE(database.Connected()) << c.where;
        database.SetConnected(false);

        // Creating it again is refused by the server and leaves it detached.
        EXPECT_THROW(database.CreateNewDatabase(), EIBInterBaseError) << c.where;
        EXPECT_FALSE(database.Connected()) << c.where;

        SetLoginParams(database);
        database.SetConnected(true);
        EXPECT_TRUE(database.Connected()) << c.where;
        EXPECT_EQ(database.DBSQLDialect(), 3) << c.where;
        EXPECT_EQ(database.SQLDialect(), 3) << c.where;
        database.SetConnected(false);
        EXPECT_EQ(database.DBSQLDialect(), 1) << c.where;
    }
}

TEST(Server, DialectOneDatabaseLowersTheClientDialect)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    TScratchDatabase scratch(ServerDatabaseName("dialect1"), 1);
    TIBDatabase database;
    int warnings = 0;
    database.OnDialectDowngradeWarning = [&](TComponent*) { ++warnings; };
    Attach(database, scratch.Name());
    EXPECT_EQ(database.DBSQLDialect(), 1);
    EXPECT_EQ(database.SQLDialect(), 1);
    EXPECT_EQ(warnings, 1);
    EXPECT_THROW(database.SetSQLDialect(3), EIBClientError);
}

TEST(Server, MissingDatabaseGivesTheServersLinesJoined)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    for (const TEngineDatabase& c : OnBothEngines("missing")) {
        TIBDatabase database;
        try {
            Attach(database, c.name);
            FAIL() << c.where << ": attached to a missing file";
        } catch (const EIBInterBaseError& e) {
            const std::string path = c.name.substr(c.name.find(':') + 1);   // embedded: no colon, from 0
            EXPECT_LT(e.SqlErrorCode(), 0) << c.where;
            EXPECT_EQ(e.EngineErrorCode(), 335544344) << c.where;   // I/O error
            EXPECT_EQ(e.Message(), "I/O error during \"open\" operation for file \"" + path +
                                       "\"\r\nError while trying to open file\r\nNo such file or directory")
                << c.where;
        }
        EXPECT_FALSE(database.Connected());
    }
}

TEST(Server, WrongPasswordIsRefused)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    TScratchDatabase scratch(ServerDatabaseName("password"));
    TIBDatabase database;
    database.SetDatabaseName(scratch.Name());
    database.Params().Add("user_name=SYSDBA");
    database.Params().Add("password=not-the-password");
    try {
        database.SetConnected(true);
        FAIL() << "attached with a wrong password";
    } catch (const EIBInterBaseError& e) {
        EXPECT_EQ(e.EngineErrorCode(), 335544472);   // login
    }
    EXPECT_FALSE(database.Connected());
}

TEST(Server, CommitStoresAndRollbackDiscards)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    for (const TEngineDatabase& c : OnBothEngines("commit")) {
        TScratchDatabase scratch(c.name);
        TIBDatabase database;
        TIBTransaction transaction;
        transaction.SetDefaultDatabase(&database);
        database.SetDefaultTransaction(&transaction);
        Attach(database, scratch.Name());
        transaction.StartTransaction();
        ExecSql(database, transaction, kCreateTable);
        transaction.Commit();
        EXPECT_FALSE(transaction.Active()) << c.where;

        transaction.StartTransaction();
        ExecSql(database, transaction, "INSERT INTO T VALUES (1, 'rolled back')");
        transaction.Rollback();
        transaction.StartTransaction();
        ExecSql(database, transaction, "INSERT INTO T VALUES (2, 'kept')");
        transaction.Commit();

        database.SetConnected(false);
        database.SetConnected(true);
        transaction.StartTransaction();
        EXPECT_EQ(CountRows(database, transaction, "T WHERE ID = 1"), 0) << c.where;
        EXPECT_EQ(CountRows(database, transaction, "T WHERE ID = 2"), 1) << c.where;
        transaction.Commit();
    }
}

TEST(Server, DisconnectEndsTheActiveTransactionAsDefaultActionSays)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    TScratchDatabase scratch(ServerDatabaseName("endbefore"));
    TIBDatabase database;
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    Attach(database, scratch.Name());
    CreateTable(database, transaction);

    const struct {
        TTransactionAction action;
        int id;
        long long want;
    } cases[] = {{TACommit, 10, 1}, {TARollback, 11, 0}, {TACommitRetaining, 12, 1}, {TARollbackRetaining, 13, 0}};
    for (const auto& c : cases) {
        transaction.SetDefaultAction(c.action);
        transaction.StartTransaction();
        ExecSql(database, transaction, "INSERT INTO T VALUES (" + std::to_string(c.id) + ", 'x')");
        database.SetConnected(false);
        EXPECT_FALSE(transaction.Active()) << c.action;
        database.SetConnected(true);
        transaction.StartTransaction();
        EXPECT_EQ(CountRows(database, transaction, "T WHERE ID = " + std::to_string(c.id)), c.want) << c.action;
        transaction.Commit();
    }
}

TEST(Server, TransactionOptionsReachTheServer)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    TScratchDatabase scratch(ServerDatabaseName("tpb"));
    TIBDatabase database;
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    Attach(database, scratch.Name());
    CreateTable(database, transaction);

    const struct {
        const char* name;
        TStringList params;
        bool insertAllowed;
    } cases[] = {
        {"read committed", {"write", "read_committed", "rec_version", "nowait"}, true},
        {"table reserved", {"concurrency", "wait", "isc_tpb_lock_write=T"}, true},
        {"read only", {"read", "concurrency"}, false},
        {"read only, shared read lock", {"read", "consistency", "lock_read=T", "shared"}, false},
    };
    for (const auto& c : cases) {
        transaction.Params().Assign(c.params);
        transaction.StartTransaction();
        bool inserted = true;
        try {
            ExecSql(database, transaction, "INSERT INTO T VALUES (1, 'x')");
        } catch (const EIBInterBaseError&) {
            inserted = false;
        }
        EXPECT_EQ(inserted, c.insertAllowed) << c.name;
        transaction.Rollback();
    }
}

TEST(Server, TwoConnectionsInOneTransaction)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    TScratchDatabase first(ServerDatabaseName("multi1"));
    TScratchDatabase second(EmbeddedDatabaseName("multi2"));
    TIBDatabase a, b;
    Attach(a, first.Name());
    Attach(b, second.Name());
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&a);
    transaction.AddDatabaseLink(&b);
    transaction.StartTransaction();
    ExecSql(a, transaction, kCreateTable);
    ExecSql(b, transaction, kCreateTable);
    transaction.Commit();
    transaction.StartTransaction();
    EXPECT_EQ(CountRows(a, transaction, "T"), 0);
    EXPECT_EQ(CountRows(b, transaction, "T"), 0);
    transaction.Rollback();
}
