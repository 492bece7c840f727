// The connection component: attach and detach, the dialect, the forced
// close after a lost connection, and the lists of its links.
#include "IBDatabase.h"

#include "IBIntf.h"

#include <FirstError.h>
#include <IgnoreFailure.h>
#include <ScopeExit.h>

#include <cstring>

namespace {

// The attach passes the database name's length as a 16-bit signed number.
constexpr std::size_t kMaxDatabaseName = 32767;

// A name whose length the attach cannot pass is refused, not wrapped.
void RequireNameFits(const std::string& name)
{
    if (name.size() > kMaxDatabaseName)
        RaiseClientError(ibxeParameterBufferTooLong,
                         {std::string("\x83" "f\x81[\x83^\x83x\x81[\x83X\x96\xBC"),   // データベース名
                          std::int64_t(name.size()), std::int64_t(kMaxDatabaseName)});
}

} // namespace

TIBDatabase::TIBDatabase(std::string name) : TCustomConnection(std::move(name))
{
    EnsureClientLoaded();
    m_params.OnChanging = [this] { RequireDisconnected(); };
    m_params.OnChange = [this] { m_paramsChanged = true; };
    m_internalTransaction = std::make_unique<TIBTransaction>();
    m_internalTransaction->SetDefaultDatabase(this);
    m_schema = std::make_unique<TSchema>(this);
}

TIBDatabase::~TIBDatabase()
{
    m_idleTimer = 0;
    if (Connected()) {
        IgnoreFailure("destruction cannot report; only a handler throws here, and the connection is closed anyway",
                      [this] { CloseForced(); });
    }
    m_sqlObjects.Notify([](TIBBase* link) { link->NotifyDatabaseFreed(); }, true);
    for (std::size_t i = 0; i < m_sqlObjects.Size(); ++i)
        RemoveSqlLink(static_cast<int>(i));
    for (std::size_t i = 0; i < m_transactions.Size(); ++i)
        RemoveTransactionLink(static_cast<int>(i));
    m_internalTransaction.reset();
    m_schema->Clear();
    m_schema.reset();
}

void TIBDatabase::SetDatabaseName(const std::string& name)
{
    if (name == m_databaseName)
        return;
    RequireDisconnected();
    m_databaseName = name;
    m_schema->Clear();
}

void TIBDatabase::SetDefaultTransaction(TIBTransaction* transaction)
{
    if (m_defaultTransaction && m_defaultTransaction != transaction) {
        const int index = IndexOfTransaction(m_defaultTransaction);
        if (index >= 0 && m_defaultTransaction->DefaultDatabase() != this)
            RemoveTransactionLink(index);
    }
    if (transaction && transaction != m_defaultTransaction) {
        transaction->AddDatabaseLink(this);
        AddTransactionLink(transaction);
    }
    m_defaultTransaction = transaction;
}

void TIBDatabase::SetIdleTimer(int value)
{
    if (value < 0)
        RaiseClientError(ibxeTimeoutNegative);
    m_idleTimer = value;
}

void TIBDatabase::SetSQLDialect(int value)
{
    if (value < 1)
        RaiseClientError(ibxeSQLDialectInvalid);
    if (Connected() && value > m_dbSqlDialect)
        RaiseClientError(ibxeSQLDialectInvalid);
    m_sqlDialect = value;
}

void TIBDatabase::CreateNewDatabase()
{
    RequireDisconnected();
    // A database the connection could never attach is not created either.
    RequireNameFits(m_databaseName);
    std::string sql = "CREATE DATABASE " + QuotedStr(m_databaseName) + " ";
    for (const std::string& line : m_params.Lines()) {
        sql += line;
        sql += "\r\n";
    }
    isc_tr_handle transaction = 0;
    ISC_STATUS status = ClientApi().isc_dsql_execute_immediate(ThreadStatusVector(), &m_handle, &transaction, 0,
                                                               sql.c_str(), static_cast<unsigned short>(m_sqlDialect),
                                                               nullptr);
    if (CheckCall(status, false) > 0) {
        m_handle = 0;
        RaiseServerError();
    }
}

void TIBDatabase::RequireConnected()
{
    if (!Connected())
        RaiseClientError(ibxeDatabaseClosed);
}

void TIBDatabase::RequireDisconnected()
{
    if (Connected())
        RaiseClientError(ibxeDatabaseOpen);
}

void TIBDatabase::RequireDatabaseName() const
{
    if (m_databaseName.empty())
        RaiseClientError(ibxeDatabaseNameMissing);
}

ISC_STATUS TIBDatabase::CheckCall(ISC_STATUS status, bool raise)
{
    m_canTimeout = false;
    if (!m_closingForced && StatusVectorHas({isc_lost_db_connection_code})) {
        // The forced close makes client calls of its own, which overwrite
        // the caller's status vector.
        ISC_STATUS_ARRAY saved;
        std::memcpy(saved, ThreadStatusVector(), sizeof saved);
        IgnoreFailure("the caller's error is the one to report; only a handler throws here, and the connection "
                      "is closed anyway",
                      [this] { CloseForced(); });
        std::memcpy(ThreadStatusVector(), saved, sizeof saved);
    }
    if (raise && status > 0)
        RaiseServerError();
    return status;
}

void TIBDatabase::CloseForced()
{
    if (!Connected())
        return;
    TFlagGuard closing(m_closingForced);
    // The handlers run in their order whatever one of them throws; the
    // first error waits until the connection is released.
    TFirstError handlerError;
    handlerError.Run([this] {
        if (BeforeDisconnect)
            BeforeDisconnect(this);
    });
    handlerError.Run([this] { SendConnectEvent(false); });
    ReleaseConnection(true);
    handlerError.Run([this] {
        if (AfterDisconnect)
            AfterDisconnect(this);
    });
    handlerError.Rethrow();
}

void TIBDatabase::DoConnect()
{
    AttachDatabase();
}

void TIBDatabase::DoDisconnect()
{
    DetachDatabase();
}

void TIBDatabase::AttachDatabase()
{
    RequireDisconnected();
    RequireDatabaseName();
    RequireNameFits(m_databaseName);
    if (m_paramsChanged) {
        // Built before the flag is cleared: after a refused parameter the
        // next connect refuses again instead of attaching with the last DPB.
        m_dpb = BuildDPB(m_params);
        m_paramsChanged = false;
    }
    ISC_STATUS status = ClientApi().isc_attach_database(ThreadStatusVector(),
                                                        static_cast<short>(m_databaseName.size()),
                                                        m_databaseName.c_str(), &m_handle, static_cast<short>(m_dpb.size()),
                                                        m_dpb.empty() ? nullptr : m_dpb.data());
    if (CheckCall(status, false) > 0) {
        m_handle = 0;
        RaiseServerError();
    }
    try {
        m_dbSqlDialect = ReadServerDialect();
        AdjustDialect();
    } catch (...) {
        // The connect fails, so the attachment goes before the error leaves.
        // Nobody heard of it: no events, no links, nothing to end; what the
        // server says to the detach is not the error to report. A lost
        // connection has closed it already.
        if (m_handle != 0) {
            ISC_STATUS_ARRAY ignored;
            ClientApi().isc_detach_database(ignored, &m_handle);
            m_handle = 0;
        }
        throw;
    }
}

int TIBDatabase::ReadServerDialect()
{
    const TClientApi& api = ClientApi();
    const char item = isc_info_db_sql_dialect;
    char result[512] = {};
    CheckCall(api.isc_database_info(ThreadStatusVector(), &m_handle, 1, &item, sizeof result, result), true);
    if (static_cast<unsigned char>(result[0]) != isc_info_db_sql_dialect)
        return 1;
    short length = static_cast<short>(VaxInteger(result + 1, 2));
    if (length < 0 || length > 4)   // a dialect is a small number; never read past the reply
        length = 4;
    return static_cast<int>(VaxInteger(result + 3, length));
}

void TIBDatabase::AdjustDialect()
{
    if (m_dbSqlDialect < m_sqlDialect) {
        m_sqlDialect = m_dbSqlDialect;
        if (OnDialectDowngradeWarning)
            OnDialectDowngradeWarning(this);
    }
}

void TIBDatabase::DetachDatabase()
{
    if (Connected())
        ReleaseConnection(false);
    m_dbSqlDialect = 1;
}

void TIBDatabase::ReleaseConnection(bool force)
{
    RequireConnected();
    // A lost connection met on the way (a commit, a link's own client call,
    // the detach) closes by force from inside this release. That inner
    // release goes on from the link this one has reached, so every link
    // hears each notification once; this one then finds nothing left.
    const bool outermost = !m_releasing;
    TFlagGuard releasing(m_releasing);
    if (outermost)
        m_linksToldBefore = 0;
    m_transactions.Notify([this](TIBTransaction* transaction) { transaction->EndBeforeDisconnect(this); }, force);
    m_sqlObjects.NotifyFrom(m_linksToldBefore, [](TIBBase* link) { link->NotifyBeforeDisconnect(); }, force,
                            [this] { return Connected(); });
    if (!Connected())
        return;
    if (!m_handleIsShared) {
        ISC_STATUS status = CheckCall(ClientApi().isc_detach_database(ThreadStatusVector(), &m_handle), false);
        if (status > 0 && !force)
            RaiseServerError();
    }
    m_handle = 0;
    m_handleIsShared = false;
    m_sqlObjects.Notify([](TIBBase* link) { link->NotifyAfterDisconnect(); }, force);
}

int TIBDatabase::AddSqlLink(TIBBase* link)
{
    if (link->OwnerIsDataSet())
        RegisterClient(link->Owner());
    return m_sqlObjects.Add(link);
}

void TIBDatabase::RemoveSqlLink(int index)
{
    TIBBase* link = m_sqlObjects.Take(index);
    if (!link)
        return;
    link->SetLinkedDatabase(nullptr);
    if (link->OwnerIsDataSet())
        UnRegisterClient(link->Owner());
}

int TIBDatabase::AddTransactionLink(TIBTransaction* transaction)
{
    if (IndexOfTransaction(transaction) >= 0)
        return -1;
    const int index = m_transactions.Add(transaction);
    // Both lists always name each other, so either side can unlink both.
    transaction->AddDatabaseLink(this);
    return index;
}

void TIBDatabase::RemoveTransactionLink(int index)
{
    TIBTransaction* transaction = m_transactions.Take(index);
    if (!transaction)
        return;
    transaction->RemoveDatabaseLink(transaction->IndexOfDatabase(this));
    if (transaction == m_defaultTransaction)
        m_defaultTransaction = nullptr;
}

TIBTransaction* TIBDatabase::FindDefaultTransaction() const
{
    if (m_defaultTransaction)
        return m_defaultTransaction;
    return m_transactions.FindIf([this](TIBTransaction* transaction) {
        return transaction->DefaultDatabase() == this && transaction != m_internalTransaction.get();
    });
}
