// The connection against the scripted fake client: what it sends, how it
// reacts to refusals and to a lost connection, and its links.
#include "FakeJournal.h"
#include "TestSupport.h"

#include <IBIntf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>

using Entries = std::vector<std::string>;

namespace {

const char* const kName = "127.0.0.1:/tmp/kx27-fb/fake.fdb";

int ClientErrorCode(const std::function<void()>& action)
{
    try {
        action();
    } catch (const EIBClientError& e) {
        return e.SqlErrorCode();
    }
    return -1;
}

void Connect(TIBDatabase& database)
{
    database.SetDatabaseName(kName);
    SetLoginParams(database);
    database.SetConnected(true);
}

} // namespace

TEST(ConnectionFake, ConnectAttachesOnceWithTheDPBOfItsParams)
{
    UseFakeClient();
    TJournal journal;
    TIBDatabase database;
    journal.Watch(database);
    journal.WatchCalls({"isc_attach_database", "isc_detach_database"});
    Connect(database);
    database.SetConnected(true);
    EXPECT_EQ(journal.entries, (Entries{"BeforeConnect", "isc_attach_database", "AfterConnect"}));
    const fake::TCall* attach = fake::LastCall("isc_attach_database");
    ASSERT_NE(attach, nullptr);
    EXPECT_EQ(attach->text, kName);
    EXPECT_EQ(attach->numbers[0], static_cast<long long>(std::string(kName).size()));
    EXPECT_EQ(attach->buffer, BuildDPB(database.Params()));

    journal.Clear();
    database.SetConnected(false);
    database.SetConnected(false);
    EXPECT_EQ(journal.entries, (Entries{"BeforeDisconnect", "isc_detach_database", "AfterDisconnect"}));
    EXPECT_EQ(database.DBSQLDialect(), 1);

    // The DPB is rebuilt only when Params changed.
    const std::string first = attach->buffer;
    database.SetConnected(true);
    EXPECT_EQ(fake::LastCall("isc_attach_database")->buffer, first);
    database.SetConnected(false);
    database.Params().Add("lc_ctype=SJIS_0208");
    database.SetConnected(true);
    EXPECT_EQ(fake::LastCall("isc_attach_database")->buffer, first + "\x30\x09" "SJIS_0208");
}

TEST(ConnectionFake, ClientsHearOfTheConnectionBetweenTheEvents)
{
    UseFakeClient();
    TJournal journal;
    TIBDatabase database;
    journal.Watch(database);
    journal.WatchCalls({"isc_attach_database", "isc_detach_database"});
    int client = 0;
    database.RegisterClient(&client, [&](bool up) { journal.Add(up ? "client:up" : "client:down"); });
    Connect(database);
    database.SetConnected(false);
    EXPECT_EQ(journal.entries, (Entries{"BeforeConnect", "isc_attach_database", "client:up", "AfterConnect",
                                        "BeforeDisconnect", "client:down", "isc_detach_database",
                                        "AfterDisconnect"}));
    database.UnRegisterClient(&client);
}

TEST(ConnectionFake, GuardsRefuseWhatTheStateForbids)
{
    UseFakeClient();
    TIBDatabase detached;
    EXPECT_EQ(ClientErrorCode([&] { detached.SetConnected(true); }), 17);
    EXPECT_EQ(ClientErrorCode([&] { detached.RequireConnected(); }), 15);
    EXPECT_EQ(ClientErrorCode([&] { detached.SetSQLDialect(0); }), 87);
    EXPECT_EQ(ClientErrorCode([&] { detached.SetIdleTimer(-1); }), 20);
    EXPECT_EQ(detached.SQLDialect(), 3);
    EXPECT_EQ(fake::CallCount("isc_attach_database"), 0);

    TIBDatabase attached;
    Connect(attached);
    const struct {
        const char* name;
        std::function<void()> action;
        int code;
    } cases[] = {
        {"connect again", [&] { attached.SetConnected(true); }, -1},
        {"same name", [&] { attached.SetDatabaseName(kName); }, -1},
        {"other name", [&] { attached.SetDatabaseName("other.fdb"); }, 16},
        {"params add", [&] { attached.Params().Add("lc_ctype=NONE"); }, 16},
        {"params clear", [&] { attached.Params().Clear(); }, 16},
        {"create", [&] { attached.CreateNewDatabase(); }, 16},
        {"dialect above the database's", [&] { attached.SetSQLDialect(4); }, 87},
        {"dialect 1", [&] { attached.SetSQLDialect(1); }, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClientErrorCode(c.action), c.code) << c.name;
    EXPECT_EQ(attached.DatabaseName(), kName);
    EXPECT_EQ(attached.Params().Count(), 2);
    EXPECT_EQ(attached.SQLDialect(), 1);
    EXPECT_EQ(fake::CallCount("isc_attach_database"), 1);
    EXPECT_EQ(fake::CallCount("isc_dsql_execute_immediate"), 0);
}

TEST(ConnectionFake, RefusedParamsFailEveryConnectUntilTheyAreFixed)
{
    UseFakeClient();
    TIBDatabase database;
    Connect(database);
    database.SetConnected(false);
    database.Params().Add("page_size=4096");
    for (int attempt = 0; attempt < 2; ++attempt) {   // never the last good DPB instead
        try {
            database.SetConnected(true);
            FAIL() << "connected with page_size in Params";
        } catch (const EIBClientError& e) {
            EXPECT_EQ(e.SqlErrorCode(), 11);
            EXPECT_EQ(e.Message(), Cp932("DPB 定数 (isc_dpb_page_size) はサポートされていません。"));
        }
        EXPECT_FALSE(database.Connected());
    }
    EXPECT_EQ(fake::CallCount("isc_attach_database"), 1);
    database.Params().Delete(2);
    database.SetConnected(true);
    EXPECT_EQ(fake::LastCall("isc_attach_database")->buffer, BuildDPB(database.Params()));
}

TEST(ConnectionFake, RefusedAttachLeavesItDetached)
{
    // A refusal after the attach detaches again before the error leaves:
    // nobody was told of a connection that never came up.
    const struct {
        const char* refused;
        Entries want;
    } cases[] = {
        {"isc_attach_database", {"BeforeConnect", "isc_attach_database"}},
        {"isc_database_info", {"BeforeConnect", "isc_attach_database", "isc_database_info", "isc_detach_database"}},
    };
    UseFakeClient();
    for (const auto& c : cases) {
        const char* const name = c.refused;
        fake::Reset();
        TJournal journal;
        fake::SetMessage(335544344, "I/O error during \"open\" operation.");
        TIBDatabase database;
        journal.Watch(database);
        journal.WatchCalls({"isc_attach_database", "isc_database_info", "isc_detach_database"});
        fake::SetHook(c.refused, [&](const fake::TCall& call, ISC_STATUS* status, ISC_STATUS& result) {
            journal.Add(call.entry);
            std::copy(kRefused.begin(), kRefused.end(), status);
            result = status[1];
            fake::SetHook(call.entry, {});   // once
            return true;
        });
        int client = 0;
        database.RegisterClient(&client, [&](bool up) { journal.Add(up ? "client:up" : "client:down"); });
        try {
            Connect(database);
            ADD_FAILURE() << name << " refused, yet connected";
        } catch (const EIBInterBaseError& e) {
            EXPECT_EQ(e.Message(), "I/O error during \"open\" operation") << name;
            EXPECT_EQ(e.EngineErrorCode(), 335544344) << name;
        }
        EXPECT_FALSE(database.Connected()) << name;
        EXPECT_EQ(journal.entries, c.want) << name;
        database.SetConnected(true);
        EXPECT_TRUE(database.Connected()) << name;
        database.UnRegisterClient(&client);
    }
}

TEST(ConnectionFake, OverlongDatabaseNameIsRefused)
{
    // The attach passes the name's length as a 16-bit signed number.
    UseFakeClient();
    const struct {
        std::size_t length;
        bool refused;
    } cases[] = {{32767, false}, {32768, true}, {70000, true}};
    for (const auto& c : cases) {
        fake::Reset();
        const std::string name = "/tmp/" + std::string(c.length - 5, 'a');
        for (bool create : {false, true}) {
            TIBDatabase database;
            database.SetDatabaseName(name);
            const auto act = [&] { create ? database.CreateNewDatabase() : database.SetConnected(true); };
            if (!c.refused) {
                act();
                EXPECT_TRUE(database.Connected()) << c.length << " " << create;
                continue;
            }
            EXPECT_EQ(ClientErrorText(act, ibxeParameterBufferTooLong),
                      Cp932("データベース名 が長すぎます（" + std::to_string(c.length) +
                            " バイト。上限は 32767 バイトです）。"))
                << c.length << " " << create;
            EXPECT_FALSE(database.Connected()) << c.length << " " << create;
        }
        const fake::TCall* attach = fake::LastCall("isc_attach_database");
        EXPECT_EQ(attach != nullptr, !c.refused) << c.length;
        if (attach) {
            EXPECT_EQ(attach->numbers[0], static_cast<long long>(c.length));
        }
        EXPECT_EQ(fake::CallCount("isc_dsql_execute_immediate"), c.refused ? 0 : 1) << c.length;
    }
}

TEST(ConnectionFake, DialectIsReadBackAndLowersTheClientDialect)
{
    UseFakeClient();
    const struct {
        int serverDialect;
        int wantSqlDialect;
        int wantWarnings;
    } cases[] = {{3, 3, 0}, {1, 1, 1}};
    for (const auto& c : cases) {
        fake::SetDialect(c.serverDialect);
        TIBDatabase database;
        int warnings = 0;
        database.OnDialectDowngradeWarning = [&](TComponent*) { ++warnings; };
        Connect(database);
        EXPECT_EQ(fake::LastCall("isc_database_info")->buffer, std::string(1, isc_info_db_sql_dialect));
        EXPECT_EQ(database.DBSQLDialect(), c.serverDialect);
        EXPECT_EQ(database.SQLDialect(), c.wantSqlDialect);
        EXPECT_EQ(warnings, c.wantWarnings);
        database.SetConnected(false);
        EXPECT_EQ(database.DBSQLDialect(), 1);
    }
}

TEST(ConnectionFake, CreateNewDatabaseSendsTheStatementAsWritten)
{
    UseFakeClient();
    const std::string kanji = Cp932("/tmp/住所.fdb");
    const struct {
        const char* name;
        std::string databaseName;
        TStringList params;
        int dialect;
        std::string want;
    } cases[] = {
        {"system's options", kName, {"USER \"SYSDBA\"", "PASSWORD \"copperjam\"", "PAGE_SIZE 4096"}, 3,
         std::string("CREATE DATABASE '") + kName +
             "' USER \"SYSDBA\"\r\nPASSWORD \"copperjam\"\r\nPAGE_SIZE 4096\r\n"},
        {"no options", "/tmp/a.fdb", {}, 3, "CREATE DATABASE '/tmp/a.fdb' "},
        {"quotes doubled", "/tmp/o'brien''s.fdb", {"PAGE_SIZE 4096"}, 3,
         "CREATE DATABASE '/tmp/o''brien''''s.fdb' PAGE_SIZE 4096\r\n"},
        {"CP932 bytes unchanged", kanji, {}, 1, "CREATE DATABASE '" + kanji + "' "},
    };
    for (const auto& c : cases) {
        TJournal journal;
        TIBDatabase database;
        journal.Watch(database);
        database.SetDatabaseName(c.databaseName);
        database.Params().Assign(c.params);
        database.SetSQLDialect(c.dialect);
        database.CreateNewDatabase();
        const fake::TCall* call = fake::LastCall("isc_dsql_execute_immediate");
        ASSERT_NE(call, nullptr);
        EXPECT_EQ(call->text, c.want) << c.name;
        // database handle, transaction handle, length (0: zero-terminated), dialect, no descriptor area
        EXPECT_EQ(call->numbers, (std::vector<long long>{0, 0, 0, c.dialect, 0})) << c.name;
        EXPECT_TRUE(database.Connected()) << c.name;
        EXPECT_TRUE(journal.entries.empty()) << c.name;
        EXPECT_EQ(database.DBSQLDialect(), 3) << c.name;
    }
    EXPECT_EQ(fake::CallCount("isc_attach_database"), 0);
    EXPECT_EQ(fake::CallCount("isc_database_info"), 0);
}

TEST(ConnectionFake, RefusedCreateLeavesItDetached)
{
    UseFakeClient();
    fake::FailNext("isc_dsql_execute_immediate", kRefused);
    TIBDatabase database;
    database.SetDatabaseName(kName);
    EXPECT_THROW(database.CreateNewDatabase(), EIBInterBaseError);
    EXPECT_FALSE(database.Connected());
}

TEST(ConnectionFake, LostConnectionOnACheckedCallClosesByForce)
{
    UseFakeClient();
    const struct {
        const char* name;
        std::vector<ISC_STATUS> vector;
        bool raise;
        bool wantThrow;
        bool wantConnected;
    } cases[] = {
        {"refused, not raised", kRefused, false, false, true},
        {"refused, raised", kRefused, true, true, true},
        {"lost, not raised", kLostConnection, false, false, false},
        {"lost, raised", kLostConnection, true, true, false},
        {"lost among others", {1, 335544344, 1, 335544741, 0}, false, false, false},
    };
    for (const auto& c : cases) {
        TJournal journal;
        TIBDatabase database;
        journal.Watch(database);
        Connect(database);
        journal.Clear();
        ISC_STATUS* sv = ThreadStatusVector();
        std::fill(sv, sv + ISC_STATUS_LENGTH, 0);
        std::copy(c.vector.begin(), c.vector.end(), sv);
        bool thrown = false;
        try {
            EXPECT_EQ(database.CheckCall(sv[1], c.raise), sv[1]) << c.name;
        } catch (const EIBInterBaseError& e) {
            thrown = true;
            EXPECT_EQ(e.EngineErrorCode(), c.vector[1]) << c.name;   // the caller's error, not the close's
        }
        EXPECT_EQ(thrown, c.wantThrow) << c.name;
        EXPECT_EQ(database.Connected(), c.wantConnected) << c.name;
        if (!c.wantConnected) {
            EXPECT_EQ(journal.entries, (Entries{"BeforeDisconnect", "AfterDisconnect"})) << c.name;
        }
    }
}

TEST(ConnectionFake, LostConnectionDuringDetachClosesByForceAndReports)
{
    UseFakeClient();
    TJournal journal;
    TIBDatabase database;
    journal.Watch(database);
    TComponent owner;
    TIBBase link(&owner);
    journal.Watch(link);
    link.SetLinkedDatabase(&database);
    Connect(database);
    journal.Clear();
    LoseConnection();
    try {
        database.SetConnected(false);
        FAIL() << "a lost connection was not reported";
    } catch (const EIBInterBaseError& e) {
        EXPECT_EQ(e.EngineErrorCode(), 335544741);
    }
    EXPECT_FALSE(database.Connected());
    EXPECT_EQ(link.Database(), &database);
    // The forced close tells the links and fires the events once more.
    ASSERT_FALSE(journal.entries.empty());
    EXPECT_EQ(journal.entries.back(), "AfterDisconnect");
    EXPECT_NE(std::find(journal.entries.begin(), journal.entries.end(), "link:disconnected"), journal.entries.end());

    fake::Reset();
    database.SetConnected(true);   // and it connects again
    EXPECT_TRUE(database.Connected());
}

TEST(ConnectionFake, RefusedDetachKeepsTheConnection)
{
    UseFakeClient();
    TJournal journal;
    TIBDatabase database;
    TComponent owner;
    TIBBase link(&owner);
    journal.Watch(link);
    link.SetLinkedDatabase(&database);
    Connect(database);
    fake::FailNext("isc_detach_database", kRefused);
    EXPECT_THROW(database.SetConnected(false), EIBInterBaseError);
    EXPECT_TRUE(database.Connected());
    EXPECT_EQ(journal.entries, (Entries{"link:disconnecting"}));
    database.SetConnected(false);
    EXPECT_FALSE(database.Connected());
}

TEST(ConnectionFake, DestructionWhileAttachedDetachesAndTellsTheLinks)
{
    UseFakeClient();
    TJournal journal;
    TComponent owner;
    TIBBase link(&owner);
    journal.Watch(link);
    {
        TIBDatabase database;
        link.SetLinkedDatabase(&database);
        Connect(database);
        LoseConnection();   // whatever the server says, destruction does not throw
    }
    EXPECT_EQ(link.Database(), nullptr);
    EXPECT_EQ(journal.entries, (Entries{"link:disconnecting", "link:disconnected", "link:database freed"}));
    EXPECT_EQ(fake::CallCount("isc_detach_database"), 1);
}

TEST(ConnectionFake, FailingHandlersNeverKeepTheAttachment)
{
    // Whatever a handler throws during a forced close, the transaction ends
    // and the connection detaches; at destruction nothing is left attached.
    UseFakeClient();
    const char* const throwers[] = {"BeforeDisconnect", "client", "link", "AfterDisconnect"};
    for (const char* thrower : throwers) {
        for (bool destroy : {false, true}) {
            fake::Reset();
            const std::string name = std::string(thrower) + (destroy ? ", destruction" : ", forced close");
            const auto fail = [&](const char* who) {
                if (std::string(who) == thrower)
                    throw std::runtime_error(who);
            };
            TIBTransaction transaction;
            TComponent owner;
            TIBBase link(&owner);
            int client = 0;
            auto database = std::make_unique<TIBDatabase>();
            transaction.SetDefaultDatabase(database.get());
            link.SetLinkedTransaction(&transaction);
            Connect(*database);
            transaction.StartTransaction();
            database->BeforeDisconnect = [&](TComponent*) { fail("BeforeDisconnect"); };
            database->AfterDisconnect = [&](TComponent*) { fail("AfterDisconnect"); };
            database->RegisterClient(&client, [&](bool) { fail("client"); });
            link.OnDatabaseDisconnecting = [&](TIBBase*) { fail("link"); };
            if (destroy) {
                database.reset();
            } else {
                // The connection's own handlers' errors are passed on once it
                // is closed; what links say is swallowed as the server's is.
                std::string passedOn;
                try {
                    database->CloseForced();
                } catch (const std::runtime_error& e) {
                    passedOn = e.what();
                }
                EXPECT_EQ(passedOn, std::string(thrower) == "link" ? "" : thrower) << name;
                EXPECT_FALSE(database->Connected()) << name;
            }
            EXPECT_FALSE(transaction.Active()) << name;
            EXPECT_EQ(fake::CallCount("isc_commit_transaction"), 1) << name;
            EXPECT_EQ(fake::CallCount("isc_detach_database"), 1) << name;
            if (database)
                database->UnRegisterClient(&client);
        }
    }
}
