// Transactions against the scripted fake client: the existence blocks they
// pass, their guards, how they end, and what the links hear.
#include "FakeJournal.h"
#include "TestSupport.h"

#include <DB.h>
#include <IBIntf.h>

#include <gtest/gtest.h>

#include <functional>

using Entries = std::vector<std::string>;

namespace {

int ClientErrorCode(const std::function<void()>& action)
{
    try {
        action();
    } catch (const EIBClientError& e) {
        return e.SqlErrorCode();
    }
    return -1;
}

void Connect(TIBDatabase& database, const std::string& name = "fake.fdb")
{
    database.SetDatabaseName(name);
    database.SetConnected(true);
}

// The calls that end transactions and connections, in order.
Entries EndingCalls()
{
    Entries out;
    for (const fake::TCall& c : fake::Calls())
        if (c.entry == "isc_commit_transaction" || c.entry == "isc_rollback_transaction" ||
            c.entry == "isc_commit_retaining" || c.entry == "isc_rollback_retaining" ||
            c.entry == "isc_detach_database")
            out.push_back(c.entry);
    return out;
}

// A connected database, a transaction on it and one link to that
// transaction whose notifications the journal records.
struct TWatchedTransaction {
    TWatchedTransaction()
    {
        Connect(database);
        transaction.SetDefaultDatabase(&database);
        link.SetLinkedTransaction(&transaction);
        journal.Watch(link);
    }

    TJournal journal;
    TIBDatabase database;
    TIBTransaction transaction;
    TComponent owner;
    TIBBase link{&owner};
};

} // namespace

TEST(TransactionFake, StartPassesOneBlockPerListedDatabase)
{
    UseFakeClient();
    TIBDatabase first, second;
    Connect(first, "first.fdb");
    Connect(second, "second.fdb");
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&first);
    transaction.StartTransaction();
    const fake::TCall* start = fake::LastCall("isc_start_multiple");
    ASSERT_NE(start, nullptr);
    ASSERT_EQ(start->tebs.size(), 1u);
    EXPECT_EQ(start->tebs[0].dbHandle, first.Handle());
    EXPECT_EQ(start->tebs[0].tpbLength, 0);
    EXPECT_TRUE(start->tebs[0].tpbIsNull);
    EXPECT_TRUE(transaction.Active());
    transaction.Commit();

    transaction.AddDatabaseLink(&second);
    transaction.Params().Add("read");
    transaction.Params().Add("");
    transaction.Params().Add("wait");
    transaction.StartTransaction();
    start = fake::LastCall("isc_start_multiple");
    EXPECT_EQ(start->numbers[1], 2);
    ASSERT_EQ(start->tebs.size(), 2u);
    const isc_db_handle handles[] = {first.Handle(), second.Handle()};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(start->tebs[i].dbHandle, handles[i]);
        EXPECT_EQ(start->tebs[i].tpbLength, 3);
        EXPECT_EQ(start->tebs[i].tpb, "\x03\x08\x06");
    }
}

TEST(TransactionFake, GuardsRefuseWhatTheStateForbids)
{
    UseFakeClient();
    TIBTransaction lonely;
    EXPECT_EQ(ClientErrorCode([&] { lonely.StartTransaction(); }), 21);
    EXPECT_EQ(ClientErrorCode([&] { lonely.SetIdleTimer(-1); }), 20);

    TIBDatabase database;
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    EXPECT_EQ(ClientErrorCode([&] { transaction.StartTransaction(); }), 15);
    EXPECT_EQ(ClientErrorCode([&] { transaction.Commit(); }), 18);
    EXPECT_EQ(ClientErrorCode([&] { transaction.Rollback(); }), 18);
    EXPECT_EQ(ClientErrorCode([&] { transaction.CommitRetaining(); }), 18);
    EXPECT_EQ(fake::CallCount("isc_start_multiple"), 0);

    Connect(database);
    transaction.StartTransaction();
    const isc_tr_handle handle = transaction.Handle();
    EXPECT_EQ(ClientErrorCode([&] { transaction.StartTransaction(); }), 19);
    EXPECT_EQ(ClientErrorCode([&] { transaction.Params().Add("read"); }), 19);
    EXPECT_EQ(ClientErrorCode([&] { transaction.SetActive(true); }), -1);
    EXPECT_EQ(transaction.Params().Count(), 0);
    EXPECT_EQ(transaction.Handle(), handle);
    EXPECT_EQ(fake::CallCount("isc_start_multiple"), 1);
}

TEST(TransactionFake, RefusedOptionIsRefusedAgainOnTheNextStart)
{
    UseFakeClient();
    TIBDatabase database;
    Connect(database);
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    transaction.Params().Add("read");
    transaction.StartTransaction();
    transaction.Commit();
    transaction.Params().Add("verb_time");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            transaction.StartTransaction();
            FAIL() << "started with verb_time in Params";
        } catch (const EIBClientError& e) {
            EXPECT_EQ(e.SqlErrorCode(), 13);
            EXPECT_EQ(e.Message(), Cp932("TPB 定数 (isc_tpb_verb_time) はサポートされていません。"));
        }
        EXPECT_FALSE(transaction.Active());
    }
    EXPECT_EQ(fake::CallCount("isc_start_multiple"), 1);
    transaction.Params().Delete(1);
    transaction.Params().Add("write");
    transaction.StartTransaction();
    EXPECT_EQ(fake::LastCall("isc_start_multiple")->tebs[0].tpb, "\x03\x08\x09");
}

TEST(TransactionFake, RefusedStartLeavesItInactive)
{
    UseFakeClient();
    TIBDatabase database;
    Connect(database);
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    fake::FailNext("isc_start_multiple", kRefused);
    EXPECT_THROW(transaction.StartTransaction(), EIBInterBaseError);
    EXPECT_FALSE(transaction.Active());
    EXPECT_TRUE(database.Connected());
    transaction.StartTransaction();
    EXPECT_TRUE(transaction.Active());
}

TEST(TransactionFake, LinksHearBeforeAndAfterTheEnd)
{
    UseFakeClient();
    TWatchedTransaction w;
    auto& [journal, database, transaction, owner, link] = w;
    journal.WatchCalls({"isc_start_multiple", "isc_commit_transaction", "isc_rollback_transaction"});

    transaction.SetActive(false);   // inactive: nothing
    transaction.SetActive(true);
    transaction.Commit();
    transaction.StartTransaction();
    transaction.SetActive(false);
    EXPECT_EQ(journal.entries,
              (Entries{"isc_start_multiple", "link:ending", "isc_commit_transaction", "link:ended",
                       "isc_start_multiple", "link:ending", "isc_rollback_transaction", "link:ended"}));
    EXPECT_FALSE(transaction.Active());
}

TEST(TransactionFake, RefusedCommitKeepsTheTransactionActive)
{
    UseFakeClient();
    TWatchedTransaction w;
    auto& [journal, database, transaction, owner, link] = w;
    transaction.StartTransaction();
    const isc_tr_handle handle = transaction.Handle();
    fake::FailNext("isc_commit_transaction", kRefused);
    EXPECT_THROW(transaction.Commit(), EIBInterBaseError);
    EXPECT_TRUE(transaction.Active());
    EXPECT_EQ(transaction.Handle(), handle);
    EXPECT_EQ(journal.entries, (Entries{"link:ending"}));
    transaction.Rollback();
    EXPECT_FALSE(transaction.Active());
    EXPECT_EQ(EndingCalls(), (Entries{"isc_commit_transaction", "isc_rollback_transaction"}));
}

TEST(TransactionFake, RetainingEndsKeepTheTransactionAndTellNobody)
{
    UseFakeClient();
    TWatchedTransaction w;
    auto& [journal, database, transaction, owner, link] = w;
    transaction.StartTransaction();
    const isc_tr_handle handle = transaction.Handle();
    transaction.CommitRetaining();
    transaction.RollbackRetaining();
    EXPECT_EQ(transaction.Handle(), handle);
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_EQ(EndingCalls(), (Entries{"isc_commit_retaining", "isc_rollback_retaining"}));
    fake::FailNext("isc_commit_retaining", kRefused);
    EXPECT_THROW(transaction.CommitRetaining(), EIBInterBaseError);
    EXPECT_TRUE(transaction.Active());
}

TEST(TransactionFake, VersionFiveLibraryRefusesRollbackRetaining)
{
    UseFakeClient(KX27_FAKE_CLIENT_V5);
    TIBDatabase database;
    Connect(database);
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    transaction.StartTransaction();
    try {
        transaction.RollbackRetaining();
        FAIL() << "rollback retaining on a version 5 library";
    } catch (const EIBClientError& e) {
        EXPECT_EQ(e.SqlErrorCode(), 3);
        EXPECT_EQ(e.Message().rfind("isc_rollback_retaining ", 0), 0u);
    }
    EXPECT_TRUE(transaction.Active());
}

TEST(TransactionFake, DisconnectEndsAnActiveTransactionAsDefaultActionSays)
{
    UseFakeClient();
    const struct {
        TTransactionAction action;
        bool commitRefused;
        Entries want;
    } cases[] = {
        {TACommit, false, {"isc_commit_transaction", "isc_detach_database"}},
        {TACommitRetaining, false, {"isc_commit_transaction", "isc_detach_database"}},
        {TARollback, false, {"isc_rollback_transaction", "isc_detach_database"}},
        {TARollbackRetaining, false, {"isc_rollback_transaction", "isc_detach_database"}},
        {TACommit, true, {"isc_commit_transaction", "isc_rollback_transaction", "isc_detach_database"}},
    };
    for (const auto& c : cases) {
        TJournal journal;
        fake::Reset();
        TIBDatabase database;
        Connect(database);
        TIBTransaction transaction;
        transaction.SetDefaultDatabase(&database);
        transaction.SetDefaultAction(c.action);
        TComponent owner;
        TIBBase link(&owner);
        link.SetLinkedTransaction(&transaction);
        journal.Watch(link);
        transaction.StartTransaction();
        if (c.commitRefused)
            fake::FailNext("isc_commit_transaction", kRefused);
        database.SetConnected(false);
        EXPECT_FALSE(transaction.Active()) << c.action;
        EXPECT_FALSE(database.Connected()) << c.action;
        EXPECT_EQ(EndingCalls(), c.want) << c.action;
        EXPECT_EQ(journal.entries,
                  (Entries{"link:ending", "link:ended", "link:disconnecting", "link:disconnected"}))
            << c.action;
    }
}

TEST(TransactionFake, LostConnectionDuringCommitClosesTheConnection)
{
    UseFakeClient();
    TWatchedTransaction w;
    auto& [journal, database, transaction, owner, link] = w;
    journal.Watch(database);
    transaction.StartTransaction();
    LoseConnection();
    try {
        transaction.Commit();
        FAIL() << "a commit on a lost connection succeeded";
    } catch (const EIBInterBaseError& e) {
        EXPECT_EQ(e.EngineErrorCode(), 335544741);
    }
    EXPECT_FALSE(transaction.Active());
    EXPECT_FALSE(database.Connected());
    const auto has = [&](const char* entry) {
        return std::find(journal.entries.begin(), journal.entries.end(), entry) != journal.entries.end();
    };
    for (const char* entry : {"link:ending", "link:ended", "link:disconnecting", "link:disconnected",
                              "BeforeDisconnect", "AfterDisconnect"})
        EXPECT_TRUE(has(entry)) << entry;
    EXPECT_EQ(link.Transaction(), &transaction);

    fake::Reset();   // the server is back
    database.SetConnected(true);
    transaction.StartTransaction();
    transaction.Commit();
}

TEST(TransactionFake, LostConnectionTellsEachLinkEachNotificationOnce)
{
    // The forced close happens inside the commit or the detach; the links
    // hear every notification once, and nothing after the connection closed.
    UseFakeClient();
    const struct {
        const char* name;
        bool startTransaction;
        bool commit;    // else a plain disconnect
        Entries want;
    } cases[] = {
        {"commit", true, true, {"link:ending", "link:ended", "link:disconnecting", "link:disconnected"}},
        {"disconnect, commit first", true, false,
         {"link:ending", "link:ended", "link:disconnecting", "link:disconnected"}},
        {"disconnect, detach", false, false, {"link:disconnecting", "link:disconnected"}},
    };
    for (const auto& c : cases) {
        fake::Reset();
        TWatchedTransaction w;
        auto& [journal, database, transaction, owner, link] = w;
        if (c.startTransaction)
            transaction.StartTransaction();
        LoseConnection();
        try {
            if (c.commit)
                transaction.Commit();
            else
                database.SetConnected(false);
        } catch (const EIBInterBaseError& e) {
            EXPECT_EQ(e.EngineErrorCode(), 335544741) << c.name;
        }
        EXPECT_FALSE(transaction.Active()) << c.name;
        EXPECT_FALSE(database.Connected()) << c.name;
        EXPECT_EQ(journal.entries, c.want) << c.name;
    }
}

TEST(TransactionFake, LostConnectionDuringStartClosesTheConnection)
{
    UseFakeClient();
    TIBDatabase database;
    Connect(database);
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    LoseConnection();
    EXPECT_THROW(transaction.StartTransaction(), EIBInterBaseError);
    EXPECT_FALSE(transaction.Active());
    EXPECT_FALSE(database.Connected());
}

TEST(TransactionFake, AutoStopEndsOnlyWhenNoResultSetIsOpen)
{
    UseFakeClient();
    const struct {
        TAutoStopAction action;
        bool openResultSet;
        bool wantActive;
        Entries want;
    } cases[] = {
        {saNone, false, true, {}},
        {saCommit, false, false, {"isc_commit_transaction"}},
        {saRollback, false, false, {"isc_rollback_transaction"}},
        {saCommitRetaining, false, true, {"isc_commit_retaining"}},
        {saRollbackRetaining, false, true, {"isc_rollback_retaining"}},
        {saCommit, true, true, {}},
    };
    for (const auto& c : cases) {
        fake::Reset();
        TIBDatabase database;
        Connect(database);
        TIBTransaction transaction;
        transaction.SetDefaultDatabase(&database);
        transaction.SetAutoStopAction(c.action);
        TDataSet resultSet;
        TIBBase link(&resultSet, true);
        link.SetLinkedTransaction(&transaction);
        if (c.openResultSet)
            resultSet.Open();
        transaction.ApplyAutoStop();   // inactive: nothing
        transaction.StartTransaction();
        transaction.ApplyAutoStop();
        EXPECT_EQ(transaction.Active(), c.wantActive) << c.action;
        EXPECT_EQ(EndingCalls(), c.want) << c.action;
    }
}

TEST(TransactionFake, DestructionEndsAnActiveTransactionWithoutThrowing)
{
    UseFakeClient();
    const struct {
        bool commitRefused;
        Entries want;
    } cases[] = {
        {false, {"isc_commit_transaction"}},
        {true, {"isc_commit_transaction", "isc_rollback_transaction"}},
    };
    for (const auto& c : cases) {
        TJournal journal;
        fake::Reset();
        TIBDatabase database;
        Connect(database);
        TComponent owner;
        TIBBase link(&owner);
        journal.Watch(link);
        {
            TIBTransaction transaction;
            transaction.SetDefaultDatabase(&database);
            database.SetDefaultTransaction(&transaction);
            link.SetLinkedDatabase(&database);
            transaction.StartTransaction();
            if (c.commitRefused)
                fake::FailNext("isc_commit_transaction", kRefused);
        }
        EXPECT_EQ(EndingCalls(), c.want);
        EXPECT_EQ(journal.entries, (Entries{"link:ending", "link:ended", "link:transaction freed"}));
        EXPECT_EQ(database.DefaultTransaction(), nullptr);
        EXPECT_EQ(link.Transaction(), nullptr);
        EXPECT_TRUE(database.Connected());
    }
}
