// The link object: a statement's or result set's ties to its connection and
// its transaction, kept in the slot lists on both sides.
#include "IBDatabase.h"

TIBBase::TIBBase(TComponent* owner, bool ownerIsDataSet) : m_owner(owner), m_ownerIsDataSet(ownerIsDataSet) {}

TIBBase::~TIBBase()
{
    SetLinkedDatabase(nullptr);     // empties our slot in the connection's list
    SetLinkedTransaction(nullptr);
}

void TIBBase::NotifyBeforeDisconnect()
{
    if (OnDatabaseDisconnecting)
        OnDatabaseDisconnecting(this);
}

void TIBBase::NotifyAfterDisconnect()
{
    if (OnDatabaseDisconnected)
        OnDatabaseDisconnected(this);
}

void TIBBase::NotifyDatabaseFreed()
{
    if (OnDatabaseFree)
        OnDatabaseFree(this);
    SetLinkedDatabase(nullptr);
}

void TIBBase::NotifyBeforeTransactionEnd()
{
    if (OnTransactionEnding)
        OnTransactionEnding(this);
}

void TIBBase::NotifyAfterTransactionEnd()
{
    if (OnTransactionEnded)
        OnTransactionEnded(this);
}

void TIBBase::NotifyTransactionFreed()
{
    if (OnTransactionFree)
        OnTransactionFree(this);
    SetLinkedTransaction(nullptr);
}

TIBHandle* TIBBase::DatabaseHandle()
{
    RequireDatabase();
    return m_database->HandleAddress();
}

TIBHandle* TIBBase::TransactionHandle()
{
    RequireTransaction();
    return m_transaction->HandleAddress();
}

void TIBBase::SetLinkedDatabase(TIBDatabase* database)
{
    if (m_database) {
        // Forget the link before the connection hears of it: its removal
        // calls back here.
        TIBDatabase* old = m_database;
        const int slot = m_databaseSlot;
        m_database = nullptr;
        m_databaseSlot = -1;
        old->RemoveSqlLink(slot);
    }
    m_database = database;
    if (m_database) {
        m_databaseSlot = m_database->AddSqlLink(this);
        if (!m_transaction)
            SetLinkedTransaction(m_database->FindDefaultTransaction());
    }
}

void TIBBase::SetLinkedTransaction(TIBTransaction* transaction)
{
    if (m_transaction) {
        TIBTransaction* old = m_transaction;
        const int slot = m_transactionSlot;
        m_transaction = nullptr;
        m_transactionSlot = -1;
        old->RemoveSqlLink(slot);
    }
    m_transaction = transaction;
    if (m_transaction) {
        m_transactionSlot = m_transaction->AddSqlLink(this);
        if (!m_database)
            SetLinkedDatabase(m_transaction->FindDefaultDatabase());
    }
}

void TIBBase::RequireDatabase()
{
    if (!m_database)
        RaiseClientError(ibxeDatabaseNotAssigned);
    m_database->RequireConnected();
}

void TIBBase::RequireTransaction()
{
    if (!m_transaction)
        RaiseClientError(ibxeTransactionNotAssigned);
    m_transaction->RequireActive();
}
