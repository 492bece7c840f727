// The connection component, the transaction component, and the link object
// that ties a statement or result set to both.
//
// Links are non-owning in both directions: the connection and the transaction
// keep slot lists of the links and transactions that point at them, and each
// side unlinks itself in its destructor, so components can be destroyed in
// any order. Slots are emptied, never erased: the next addition reuses them.
#pragma once

#include "DBConnection.h"
#include "IB.h"
#include "IBLinkSlots.h"

#include <Classes.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TIBDatabase;
class TIBTransaction;
class TIBBase;

class TIBSQL;

// One column of a table that is computed or has a default.
struct TFieldNode {
    std::string FieldName;      // trimmed of blanks at both ends
    bool Computed = false;
    bool HasDefault = false;
};

// The connection's cache of computed and defaulted columns, read once per
// table with a catalogue query on the connection's internal transaction.
// The connection empties it when its DatabaseName changes to another value
// and when it is destroyed; disconnecting keeps it.
class TSchema {
public:
    // The catalogue statement is linked to the connection and its internal
    // transaction; neither is owned.
    explicit TSchema(TIBDatabase* database);
    ~TSchema();
    TSchema(const TSchema&) = delete;
    TSchema& operator=(const TSchema&) = delete;

    // The first question about a table queries the catalogue; its error
    // leaves the question and the table stays cached with no columns.
    bool IsComputed(const std::string& relation, const std::string& field);
    bool HasDefault(const std::string& relation, const std::string& field);
    void Clear() noexcept { m_relations.clear(); }
    int RelationCount() const noexcept { return static_cast<int>(m_relations.size()); }

private:
    struct TRelation {
        std::string Name;
        std::vector<TFieldNode> Fields;
    };
    // The table's entry for the column, nullptr when it has none.
    const TFieldNode* Find(const std::string& relation, const std::string& field);
    void ReadRelation(TRelation& relation);

    TIBDatabase* m_database;    // not owned
    std::unique_ptr<TIBSQL> m_sql;
    std::vector<TRelation> m_relations;
};

using TIBLinkEvent = std::function<void(TIBBase* link)>;

// Ties its owner (a statement or a result set) to a connection and a
// transaction. The owner installs the handlers it needs.
class TIBBase {
public:
    // ownerIsDataSet: the owner is a result set, which the connection then
    // registers as one of its clients.
    explicit TIBBase(TComponent* owner, bool ownerIsDataSet = false);
    virtual ~TIBBase();
    TIBBase(const TIBBase&) = delete;
    TIBBase& operator=(const TIBBase&) = delete;

    TIBLinkEvent OnDatabaseDisconnecting;
    TIBLinkEvent OnDatabaseDisconnected;
    TIBLinkEvent OnDatabaseFree;
    TIBLinkEvent OnTransactionEnding;
    TIBLinkEvent OnTransactionEnded;
    TIBLinkEvent OnTransactionFree;

    virtual void NotifyBeforeDisconnect();
    virtual void NotifyAfterDisconnect();
    virtual void NotifyDatabaseFreed();
    virtual void NotifyBeforeTransactionEnd();
    virtual void NotifyAfterTransactionEnd();
    virtual void NotifyTransactionFreed();
    // RequireDatabase / RequireTransaction, then the handle's address.
    virtual TIBHandle* DatabaseHandle();
    virtual TIBHandle* TransactionHandle();
    virtual void SetLinkedDatabase(TIBDatabase* database);
    virtual void SetLinkedTransaction(TIBTransaction* transaction);
    // Client error 24 without a database, else the database's RequireConnected.
    virtual void RequireDatabase();
    // Client error 25 without a transaction, else the transaction's RequireActive.
    virtual void RequireTransaction();

    TIBDatabase* Database() const noexcept { return m_database; }
    TIBTransaction* Transaction() const noexcept { return m_transaction; }
    TComponent* Owner() const noexcept { return m_owner; }
    bool OwnerIsDataSet() const noexcept { return m_ownerIsDataSet; }

private:
    TComponent* m_owner;            // not owned
    bool m_ownerIsDataSet;
    TIBDatabase* m_database = nullptr;        // not owned
    int m_databaseSlot = -1;
    TIBTransaction* m_transaction = nullptr;  // not owned
    int m_transactionSlot = -1;
};

// The DPB for a parameter list (version byte 1, then one item per line).
// Raises client error 11, 114, or EConvertError as the connection's attach does.
std::string BuildDPB(const TStringList& params);

class TIBDatabase : public TCustomConnection {
public:
    explicit TIBDatabase(std::string name = {});
    ~TIBDatabase() override;

    const std::string& DatabaseName() const noexcept { return m_databaseName; }
    // Equal text: nothing. Otherwise client error 16 while attached; stores
    // the name and empties the schema cache.
    void SetDatabaseName(const std::string& name);
    // Changes raise client error 16 while attached.
    TStringList& Params() noexcept { return m_params; }

    TIBTransaction* DefaultTransaction() const noexcept { return m_defaultTransaction; }
    void SetDefaultTransaction(TIBTransaction* transaction);
    int IdleTimer() const noexcept { return m_idleTimer; }
    void SetIdleTimer(int value);
    int SQLDialect() const noexcept { return m_sqlDialect; }
    void SetSQLDialect(int value);
    int DBSQLDialect() const noexcept { return m_dbSqlDialect; }
    TNotifyEvent OnDialectDowngradeWarning;

    // CREATE DATABASE by statement; on success the new database is attached.
    void CreateNewDatabase();
    // Replaces the list's lines with the names of the base tables.
    void ListTableNames(TStringList& list, bool includeSystemTables);

    void RequireConnected();
    TIBStatus CheckCall(TIBStatus status, bool raise);
    // Ends transactions, notifies links and detaches, swallowing what the
    // server and the links say. Whatever the connection's own handlers throw,
    // it is closed afterwards; then the first handler's error is passed on.
    void CloseForced();

    TIBHandle* HandleAddress() noexcept { return &m_handle; }
    TIBHandle Handle() const noexcept { return m_handle; }

    int AddSqlLink(TIBBase* link);
    void RemoveSqlLink(int index);
    int AddTransactionLink(TIBTransaction* transaction);
    void RemoveTransactionLink(int index);
    int IndexOfTransaction(const TIBTransaction* transaction) const { return m_transactions.IndexOf(transaction); }
    TIBTransaction* FindDefaultTransaction() const;
    const TIBLinkSlots<TIBTransaction>& Transactions() const noexcept { return m_transactions; }
    const TIBLinkSlots<TIBBase>& SqlObjects() const noexcept { return m_sqlObjects; }

    TIBTransaction* InternalTransaction() const noexcept { return m_internalTransaction.get(); }
    TSchema* Schema() const noexcept { return m_schema.get(); }

protected:
    void DoConnect() override;
    void DoDisconnect() override;
    bool GetConnected() const override { return m_handle != 0; }

private:
    void AttachDatabase();
    void DetachDatabase();
    void ReleaseConnection(bool force);
    int ReadServerDialect();
    void AdjustDialect();
    void RequireDisconnected();
    void RequireDatabaseName() const;

    std::string m_databaseName;
    TStringList m_params;
    bool m_paramsChanged = true;
    std::string m_dpb;              // as last built; at most 32767 bytes (BuildDPB)
    TIBHandle m_handle = 0;
    bool m_handleIsShared = false;
    int m_sqlDialect = 3;
    int m_dbSqlDialect = 3;
    int m_idleTimer = 0;
    bool m_canTimeout = false;
    TIBTransaction* m_defaultTransaction = nullptr;      // not owned
    TIBLinkSlots<TIBTransaction> m_transactions;
    TIBLinkSlots<TIBBase> m_sqlObjects;
    std::unique_ptr<TIBTransaction> m_internalTransaction;
    std::unique_ptr<TSchema> m_schema;
    bool m_closingForced = false;   // a lost connection met meanwhile closes nothing twice
    bool m_releasing = false;       // ReleaseConnection under way
    std::size_t m_linksToldBefore = 0;   // slots told of the disconnect by the release under way
};

enum TTransactionAction { TARollback, TACommit, TARollbackRetaining, TACommitRetaining };
enum TAutoStopAction { saNone, saRollback, saCommit, saRollbackRetaining, saCommitRetaining };

// The TPB for an option list (empty list: empty TPB). Raises client error 13
// or 115 as StartTransaction does.
std::string BuildTPB(const TStringList& params);

class TIBTransaction : public TComponent {
public:
    explicit TIBTransaction(std::string name = {});
    ~TIBTransaction() override;

    bool Active() const noexcept { return m_handle != 0; }
    // true while inactive: StartTransaction; false while active: Rollback.
    void SetActive(bool value);
    TIBDatabase* DefaultDatabase() const noexcept { return m_defaultDatabase; }
    void SetDefaultDatabase(TIBDatabase* database);
    int IdleTimer() const noexcept { return m_idleTimer; }
    void SetIdleTimer(int value);
    TTransactionAction DefaultAction() const noexcept { return m_defaultAction; }
    void SetDefaultAction(TTransactionAction action) noexcept { m_defaultAction = action; }
    TAutoStopAction AutoStopAction() const noexcept { return m_autoStopAction; }
    void SetAutoStopAction(TAutoStopAction action) noexcept { m_autoStopAction = action; }
    // Changes raise client error 19 while a transaction is active.
    TStringList& Params() noexcept { return m_params; }
    TNotifyEvent OnIdleTimer;

    void StartTransaction();
    void Commit() { FinishTransaction(TACommit, false); }
    void Rollback() { FinishTransaction(TARollback, false); }
    void CommitRetaining() { FinishTransaction(TACommitRetaining, false); }
    void RollbackRetaining() { FinishTransaction(TARollbackRetaining, false); }
    void FinishTransaction(TTransactionAction action, bool forced);

    void RequireActive() const;
    void RequireInactive() const;
    TIBStatus CheckCall(TIBStatus status, bool raise);
    void ApplyAutoStop();
    void EndBeforeDisconnect(TIBDatabase* database);

    TIBHandle* HandleAddress() noexcept { return &m_handle; }
    TIBHandle Handle() const noexcept { return m_handle; }

    int AddSqlLink(TIBBase* link) { return m_sqlObjects.Add(link); }
    void RemoveSqlLink(int index);
    int AddDatabaseLink(TIBDatabase* database);
    void RemoveDatabaseLink(int index);
    int IndexOfDatabase(const TIBDatabase* database) const { return m_databases.IndexOf(database); }
    const TIBLinkSlots<TIBDatabase>& Databases() const noexcept { return m_databases; }
    const TIBLinkSlots<TIBBase>& SqlObjects() const noexcept { return m_sqlObjects; }
    // DefaultDatabase, or else the first listed database whose default
    // transaction this is; what a link without a database gets.
    TIBDatabase* FindDefaultDatabase() const;

private:
    TIBDatabase* m_defaultDatabase = nullptr;      // not owned
    TIBLinkSlots<TIBDatabase> m_databases;
    TIBLinkSlots<TIBBase> m_sqlObjects;
    TStringList m_params;
    bool m_paramsChanged = true;
    std::string m_tpb;              // as last built; at most 32767 bytes (BuildTPB)
    TIBHandle m_handle = 0;
    int m_idleTimer = 0;
    TTransactionAction m_defaultAction = TACommit;
    TAutoStopAction m_autoStopAction = saNone;
    bool m_ending = false;          // a commit or rollback of FinishTransaction under way
    unsigned m_endsTold = 0;        // counts the ends the links were told of
};
