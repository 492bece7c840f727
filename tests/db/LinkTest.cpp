// The lists that tie connections, transactions and links together: slots,
// defaults, and destruction in any order.
#include "FakeJournal.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>

TEST(Links, EmptiedSlotsAreReusedAndOtherIndicesStay)
{
    UseFakeClient();
    TComponent owner;
    TIBBase a(&owner), b(&owner), c(&owner), d(&owner), e(&owner);
    TIBDatabase database;
    TIBTransaction transaction;
    // The first slots hold the connection's own catalogue statement.
    const int own = database.SqlObjects().Count();
    EXPECT_EQ(database.AddSqlLink(&a), own);
    EXPECT_EQ(database.AddSqlLink(&b), own + 1);
    EXPECT_EQ(database.AddSqlLink(&c), own + 2);
    database.RemoveSqlLink(own + 1);
    database.RemoveSqlLink(own + 1);    // an empty slot: nothing
    database.RemoveSqlLink(-1);
    database.RemoveSqlLink(99);
    EXPECT_EQ(database.SqlObjects().Count(), own + 2);
    EXPECT_EQ(database.AddSqlLink(&d), own + 1);
    EXPECT_EQ(database.AddSqlLink(&e), own + 3);
    for (int i = own; i < own + 4; ++i)
        database.RemoveSqlLink(i);
    EXPECT_EQ(database.SqlObjects().Count(), own);

    EXPECT_EQ(transaction.AddSqlLink(&a), 0);
    EXPECT_EQ(transaction.AddSqlLink(&b), 1);
    transaction.RemoveSqlLink(0);
    EXPECT_EQ(transaction.AddSqlLink(&c), 0);
    transaction.RemoveSqlLink(0);
    transaction.RemoveSqlLink(1);

    TIBDatabase other1, other2;
    const int first = transaction.AddDatabaseLink(&other1);
    const int second = transaction.AddDatabaseLink(&other2);
    EXPECT_EQ(transaction.AddDatabaseLink(&other1), first);   // already listed: its slot
    EXPECT_EQ(database.AddTransactionLink(&transaction), 1);   // slot 0 is the internal transaction's
    EXPECT_EQ(database.AddTransactionLink(&transaction), -1);
    transaction.RemoveDatabaseLink(first);
    EXPECT_EQ(transaction.Databases().Count(), 2);
    EXPECT_EQ(other1.Transactions().Count(), 1);   // its internal transaction only
    EXPECT_EQ(transaction.AddDatabaseLink(&other1), first);
    EXPECT_NE(second, first);
}

TEST(Links, LinksFindTheirDefaults)
{
    UseFakeClient();
    TComponent owner;
    TIBDatabase database;
    EXPECT_EQ(database.FindDefaultTransaction(), nullptr);   // never the internal transaction

    TIBTransaction byItsDatabase;
    byItsDatabase.SetDefaultDatabase(&database);
    EXPECT_EQ(database.FindDefaultTransaction(), &byItsDatabase);
    TIBTransaction chosen;
    database.SetDefaultTransaction(&chosen);
    EXPECT_EQ(database.FindDefaultTransaction(), &chosen);

    TIBBase viaDatabase(&owner);
    viaDatabase.SetLinkedDatabase(&database);
    EXPECT_EQ(viaDatabase.Transaction(), &chosen);
    EXPECT_EQ(chosen.SqlObjects().Count(), 1);

    TIBBase viaTransaction(&owner);
    viaTransaction.SetLinkedTransaction(&byItsDatabase);
    EXPECT_EQ(viaTransaction.Database(), &database);

    TIBBase viaDatabasesDefault(&owner);   // no DefaultDatabase: the database whose default it is
    viaDatabasesDefault.SetLinkedTransaction(&chosen);
    EXPECT_EQ(viaDatabasesDefault.Database(), &database);

    TIBTransaction later;
    TIBBase waiting(&owner);
    waiting.SetLinkedTransaction(&later);
    EXPECT_EQ(waiting.Database(), nullptr);
    later.SetDefaultDatabase(&database);
    EXPECT_EQ(waiting.Database(), &database);
    EXPECT_EQ(database.SqlObjects().Count(), 5);   // and the connection's catalogue statement
}

TEST(Links, DefaultsOnBothSidesKeepBothListsInStep)
{
    UseFakeClient();
    TIBDatabase d1, d2;
    TIBTransaction t1, t2, t3;
    const int internalOnly = d1.Transactions().Count();

    t1.SetDefaultDatabase(&d1);
    d1.SetDefaultTransaction(&t1);
    EXPECT_EQ(d1.Transactions().Count(), internalOnly + 1);
    EXPECT_EQ(t1.Databases().Count(), 1);

    d2.SetDefaultTransaction(&t2);   // the other order
    t2.SetDefaultDatabase(&d2);
    EXPECT_EQ(d2.Transactions().Count(), internalOnly + 1);
    EXPECT_EQ(t2.Databases().Count(), 1);

    t1.SetDefaultDatabase(&d2);      // moving a transaction takes it out of the old database
    EXPECT_EQ(d1.Transactions().Count(), internalOnly);
    EXPECT_EQ(d1.DefaultTransaction(), nullptr);
    EXPECT_EQ(t1.Databases().Count(), 1);
    EXPECT_EQ(d2.IndexOfTransaction(&t1) >= 0, true);

    d2.SetDefaultTransaction(&t3);   // t2 belongs to d2 by its own default: it stays listed
    EXPECT_GE(d2.IndexOfTransaction(&t2), 0);
    EXPECT_GE(d2.IndexOfTransaction(&t3), 0);
    d2.SetDefaultTransaction(nullptr);   // t3 does not: it leaves both lists
    EXPECT_LT(d2.IndexOfTransaction(&t3), 0);
    EXPECT_EQ(t3.Databases().Count(), 0);
}

// Three components linked every way, with the transaction active and the
// connection attached, destroyed in each of the six orders. The survivors
// must hold no pointer to what is gone (AddressSanitizer checks the rest).
TEST(Lifetime, AnyDestructionOrderLeavesNoDanglingLink)
{
    UseFakeClient();
    std::array<int, 3> order = {0, 1, 2};   // 0 database, 1 transaction, 2 link
    do {
        TComponent owner;
        auto database = std::make_unique<TIBDatabase>();
        const int ownLinks = database->SqlObjects().Count();   // the connection's own statements
        auto transaction = std::make_unique<TIBTransaction>();
        auto link = std::make_unique<TIBBase>(&owner);
        TIBBase viaTransaction(&owner);
        transaction->SetDefaultDatabase(database.get());
        database->SetDefaultTransaction(transaction.get());
        link->SetLinkedDatabase(database.get());
        viaTransaction.SetLinkedTransaction(transaction.get());
        database->SetDatabaseName("fake.fdb");
        database->SetConnected(true);
        transaction->StartTransaction();
        ASSERT_EQ(link->Transaction(), transaction.get());

        const std::string name = std::to_string(order[0]) + std::to_string(order[1]) + std::to_string(order[2]);
        for (int which : order) {
            if (which == 0) {
                database.reset();
                if (transaction) {
                    EXPECT_EQ(transaction->DefaultDatabase(), nullptr) << name;
                    EXPECT_EQ(transaction->Databases().Count(), 0) << name;
                    EXPECT_FALSE(transaction->Active()) << name;
                }
                if (link) {
                    EXPECT_EQ(link->Database(), nullptr) << name;
                }
                EXPECT_EQ(viaTransaction.Database(), nullptr) << name;
            } else if (which == 1) {
                transaction.reset();
                if (database) {
                    EXPECT_EQ(database->DefaultTransaction(), nullptr) << name;
                    EXPECT_EQ(database->FindDefaultTransaction(), nullptr) << name;
                }
                if (link) {
                    EXPECT_EQ(link->Transaction(), nullptr) << name;
                }
                EXPECT_EQ(viaTransaction.Transaction(), nullptr) << name;
            } else {
                link.reset();
                if (database) {
                    EXPECT_EQ(database->SqlObjects().Count(), ownLinks + 1) << name;
                }
                if (transaction) {
                    EXPECT_EQ(transaction->SqlObjects().Count(), 1) << name;
                }
            }
        }
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(Lifetime, DestroyedDefaultsAreForgottenByTheOtherSide)
{
    UseFakeClient();
    TJournal journal;
    TComponent owner;
    TIBBase link(&owner);
    journal.Watch(link);
    TIBDatabase database;
    {
        TIBTransaction transaction;
        database.SetDefaultTransaction(&transaction);
        link.SetLinkedDatabase(&database);
    }
    EXPECT_EQ(database.DefaultTransaction(), nullptr);
    EXPECT_EQ(link.Transaction(), nullptr);
    EXPECT_EQ(journal.entries, (std::vector<std::string>{"link:transaction freed"}));
    TIBTransaction next;
    database.SetDefaultTransaction(&next);   // the emptied slot is used again
    link.SetLinkedTransaction(&next);
    EXPECT_EQ(next.SqlObjects().Count(), 1);
}
