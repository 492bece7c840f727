// The transaction component: start, commit and rollback over the databases
// it lists, and what its links hear of each end.
#include "IBDatabase.h"

#include "DB.h"
#include "IBIntf.h"

#include <IgnoreFailure.h>
#include <ScopeExit.h>

TIBTransaction::TIBTransaction(std::string name) : TComponent(std::move(name))
{
    EnsureClientLoaded();
    m_params.OnChanging = [this] { RequireInactive(); };
    m_params.OnChange = [this] { m_paramsChanged = true; };
}

TIBTransaction::~TIBTransaction()
{
    IgnoreFailure("destruction cannot report; a forced end has dropped what the server and the links said",
                  [this] { EndBeforeDisconnect(m_defaultDatabase); });
    m_sqlObjects.Notify([](TIBBase* link) { link->NotifyTransactionFreed(); }, true);
    for (std::size_t i = 0; i < m_sqlObjects.Size(); ++i)
        RemoveSqlLink(static_cast<int>(i));
    for (std::size_t i = 0; i < m_databases.Size(); ++i)
        RemoveDatabaseLink(static_cast<int>(i));
}

void TIBTransaction::SetActive(bool value)
{
    if (value && !Active())
        StartTransaction();
    else if (!value && Active())
        Rollback();
}

void TIBTransaction::SetDefaultDatabase(TIBDatabase* database)
{
    if (m_defaultDatabase && m_defaultDatabase != database) {
        const int index = m_defaultDatabase->IndexOfTransaction(this);
        if (index >= 0)
            m_defaultDatabase->RemoveTransactionLink(index);
    }
    if (database && database != m_defaultDatabase) {
        database->AddTransactionLink(this);
        AddDatabaseLink(database);
        m_sqlObjects.ForEach([database](TIBBase* link) {
            if (!link->Database())
                link->SetLinkedDatabase(database);
        });
    }
    m_defaultDatabase = database;
}

void TIBTransaction::SetIdleTimer(int value)
{
    if (value < 0)
        RaiseClientError(ibxeTimeoutNegative);
    m_idleTimer = value;
}

void TIBTransaction::StartTransaction()
{
    RequireInactive();
    const int count = m_databases.Count();
    if (count == 0)
        RaiseClientError(ibxeNoDatabasesInTransaction);
    if (m_databases.FindIf([](TIBDatabase* database) { return !database->Connected(); }))
        RaiseClientError(ibxeDatabaseClosed);
    if (m_paramsChanged) {
        // Built before the flag is cleared: after a refused option the next
        // start builds (and refuses) again instead of using a stale buffer.
        m_tpb = BuildTPB(m_params);
        m_paramsChanged = false;
    }
    std::vector<ISC_TEB> teb(static_cast<std::size_t>(count));   // zero-filled, freed on every path
    std::size_t entry = 0;
    m_databases.ForEach([&](TIBDatabase* database) {
        teb[entry].db_handle = database->HandleAddress();
        teb[entry].tpb_length = static_cast<int>(m_tpb.size());
        teb[entry].tpb = m_tpb.empty() ? nullptr : m_tpb.data();
        ++entry;
    });
    ISC_STATUS status = ClientApi().isc_start_multiple(ThreadStatusVector(), &m_handle, static_cast<short>(count),
                                                       teb.data());
    if (CheckCall(status, false) > 0) {
        m_handle = 0;
        RaiseServerError();
    }
}

void TIBTransaction::FinishTransaction(TTransactionAction action, bool forced)
{
    RequireActive();
    const TClientApi& api = ClientApi();
    if (action == TACommitRetaining) {
        CheckCall(api.isc_commit_retaining(ThreadStatusVector(), &m_handle), true);
        return;
    }
    if (action == TARollbackRetaining) {
        if (ClientVersion() < 6)
            RaiseClientError(ibxeIB60feature, {std::string("isc_rollback_retaining")});
        CheckCall(api.isc_rollback_retaining(ThreadStatusVector(), &m_handle), true);
        return;
    }
    // A forced end never raises: what the links or the server say is swallowed.
    // A lost connection met by the commit or rollback below closes the
    // connection by force, which ends this transaction from inside this
    // end: that inner end leaves out what the links heard already, and this
    // one leaves out what the inner end told them.
    if (!m_ending)
        m_sqlObjects.Notify([](TIBBase* link) { link->NotifyBeforeTransactionEnd(); }, forced);
    const unsigned endsTold = m_endsTold;
    ISC_STATUS status = 0;
    {
        TFlagGuard ending(m_ending);
        if (m_handle != 0) {
            status = action == TARollback ? api.isc_rollback_transaction(ThreadStatusVector(), &m_handle)
                                          : api.isc_commit_transaction(ThreadStatusVector(), &m_handle);
            status = CheckCall(status, false);
        }
        // Then the inner end has also left nothing to roll back.
        if (forced && status > 0 && m_handle != 0)
            status = CheckCall(api.isc_rollback_transaction(ThreadStatusVector(), &m_handle), false);
    }
    if (forced)
        m_handle = 0;
    else if (status > 0)
        RaiseServerError();
    if (m_endsTold != endsTold)
        return;
    ++m_endsTold;
    m_sqlObjects.Notify([](TIBBase* link) { link->NotifyAfterTransactionEnd(); }, forced);
}

void TIBTransaction::RequireActive() const
{
    if (!Active())
        RaiseClientError(ibxeNotInTransaction);
}

void TIBTransaction::RequireInactive() const
{
    if (Active())
        RaiseClientError(ibxeInTransaction);
}

ISC_STATUS TIBTransaction::CheckCall(ISC_STATUS status, bool raise)
{
    if (m_defaultDatabase && StatusVectorHas({isc_lost_db_connection_code}))   // the connection is gone
        return m_defaultDatabase->CheckCall(status, raise);
    if (raise && status > 0)
        RaiseServerError();
    return status;
}

void TIBTransaction::ApplyAutoStop()
{
    if (m_autoStopAction == saNone || !Active())
        return;
    const auto openDataSet = [](TIBBase* link) {
        auto* dataSet = dynamic_cast<TDataSet*>(link->Owner());
        return dataSet && dataSet->Active();
    };
    if (m_sqlObjects.FindIf(openDataSet))
        return;
    switch (m_autoStopAction) {
    case saRollback: FinishTransaction(TARollback, false); break;
    case saCommit: FinishTransaction(TACommit, false); break;
    case saRollbackRetaining: FinishTransaction(TARollbackRetaining, false); break;
    case saCommitRetaining: FinishTransaction(TACommitRetaining, false); break;
    case saNone: break;
    }
}

void TIBTransaction::EndBeforeDisconnect(TIBDatabase* database)
{
    if (!Active())
        return;
    const bool commit = m_defaultAction == TACommit || m_defaultAction == TACommitRetaining;
    FinishTransaction(commit ? TACommit : TARollback, true);
}

void TIBTransaction::RemoveSqlLink(int index)
{
    if (TIBBase* link = m_sqlObjects.Take(index))
        link->SetLinkedTransaction(nullptr);
}

int TIBTransaction::AddDatabaseLink(TIBDatabase* database)
{
    const int existing = IndexOfDatabase(database);
    if (existing >= 0)
        return existing;
    const int index = m_databases.Add(database);
    database->AddTransactionLink(this);
    return index;
}

void TIBTransaction::RemoveDatabaseLink(int index)
{
    TIBDatabase* database = m_databases.Take(index);
    if (!database)
        return;
    database->RemoveTransactionLink(database->IndexOfTransaction(this));
    if (database == m_defaultDatabase)
        m_defaultDatabase = nullptr;
}

TIBDatabase* TIBTransaction::FindDefaultDatabase() const
{
    if (m_defaultDatabase)
        return m_defaultDatabase;
    return m_databases.FindIf([this](TIBDatabase* database) { return database->DefaultTransaction() == this; });
}
