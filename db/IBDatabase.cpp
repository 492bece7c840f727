#include "IBDatabase.h"

#include "DB.h"
#include "IBIntf.h"

#include <cstring>
#include <exception>
#include <functional>
#include <limits>

namespace {

// Parameter buffers travel with a 16-bit signed length.
constexpr std::size_t kMaxParameterBuffer = 32767;
// A value or table name travels with a one-byte length.
constexpr std::size_t kMaxParameterValue = 255;
// The attach passes the database name's length as a 16-bit signed number.
constexpr std::size_t kMaxDatabaseName = 32767;

// DPB item names; the position (1 to 67) is the isc_dpb_ item code.
const char* const kDPBNames[] = {
    "",   // 0: not an item
    "cdd_pathname", "allocation", "journal", "page_size", "num_buffers",
    "buffer_length", "debug", "garbage_collect", "verify", "sweep",
    "enable_journal", "disable_journal", "dbkey_scope", "number_of_users", "trace",
    "no_garbage_collect", "damaged", "license", "sys_user_name", "encrypt_key",
    "activate_shadow", "sweep_interval", "delete_shadow", "force_write", "begin_log",
    "quit_log", "no_reserve", "user_name", "password", "password_enc",
    "sys_user_name_enc", "interp", "online_dump", "old_file_size", "old_num_files",
    "old_file", "old_start_page", "old_start_seqno", "old_start_file", "drop_walfile",
    "old_dump_id", "wal_backup_dir", "wal_chkptlen", "wal_numbufs", "wal_bufsize",
    "wal_grp_cmt_wait", "lc_messages", "lc_ctype", "cache_manager", "shutdown",
    "online", "shutdown_delay", "reserved", "overwrite", "sec_attach",
    "disable_wal", "connect_timeout", "dummy_packet_interval", "gbak_attach", "sql_role_name",
    "set_page_buffers", "working_directory", "sql_dialect", "set_db_readonly", "set_db_sql_dialect",
    "gfix_attach", "gstat_attach",
};
constexpr int kDPBNameCount = 67;

enum class TDPBKind { Refused, String, Dialect, Byte, Sweep, Flag, Int32 };

TDPBKind DPBKind(int code)
{
    switch (code) {
    case 18: case 19: case 20: case 28: case 29: case 30: case 47: case 48: case 60:
        return TDPBKind::String;
    case 63:
        return TDPBKind::Dialect;
    case 5: case 9: case 13: case 17: case 24: case 27:
        return TDPBKind::Byte;
    case 10:
        return TDPBKind::Sweep;
    case 21: case 23: case 25: case 26:
        return TDPBKind::Flag;
    case 22:
        return TDPBKind::Int32;
    default:
        return TDPBKind::Refused;
    }
}

// TPB option names; the position (1 to 20) is the isc_tpb_ item code.
const char* const kTPBNames[] = {
    "",   // 0: not an item
    "consistency", "concurrency", "shared", "protected", "exclusive",
    "wait", "nowait", "read", "write", "lock_read",
    "lock_write", "verb_time", "commit_time", "ignore_limbo", "read_committed",
    "autocommit", "rec_version", "no_rec_version", "restart_requests", "no_auto_undo",
};
constexpr int kTPBNameCount = 20;

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

void AppendShortValue(std::string& buffer, char code, const std::string& value, const std::string& nameAsWritten)
{
    if (value.size() > kMaxParameterValue)
        RaiseClientError(ibxeParameterValueTooLong, {nameAsWritten, std::int64_t(value.size())});
    buffer += code;
    buffer += static_cast<char>(value.size());
    buffer += value;
}

void RequireBufferFits(const std::string& buffer, const char* kind)
{
    if (buffer.size() > kMaxParameterBuffer)
        RaiseClientError(ibxeParameterBufferTooLong,
                         {std::string(kind), std::int64_t(buffer.size()), std::int64_t(kMaxParameterBuffer)});
}

// A name whose length the attach cannot pass is refused, not wrapped.
void RequireNameFits(const std::string& name)
{
    if (name.size() > kMaxDatabaseName)
        RaiseClientError(ibxeParameterBufferTooLong,
                         {std::string("\x83" "f\x81[\x83^\x83x\x81[\x83X\x96\xBC"),   // データベース名
                          std::int64_t(name.size()), std::int64_t(kMaxDatabaseName)});
}

// Sets a flag for the life of the guard and restores its value after.
struct TFlagGuard {
    bool& flag;
    bool old;
    explicit TFlagGuard(bool& f) : flag(f), old(f) { flag = true; }
    ~TFlagGuard() { flag = old; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;
};

template <typename T>
int FirstEmptySlotOrAppend(std::vector<T*>& slots, T* item)
{
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (!slots[i]) {
            slots[i] = item;
            return static_cast<int>(i);
        }
    slots.push_back(item);
    return static_cast<int>(slots.size()) - 1;
}

template <typename T>
int IndexOfSlot(const std::vector<T*>& slots, const T* item)
{
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (slots[i] == item)
            return static_cast<int>(i);
    return -1;
}

template <typename T>
int CountFilled(const std::vector<T*>& slots)
{
    int n = 0;
    for (T* p : slots)
        if (p)
            ++n;
    return n;
}

template <typename T>
bool ValidSlot(const std::vector<T*>& slots, int index)
{
    return index >= 0 && static_cast<std::size_t>(index) < slots.size() && slots[static_cast<std::size_t>(index)];
}

} // namespace

// ---------------------------------------------------------------- TIBBase

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

isc_db_handle* TIBBase::DatabaseHandle()
{
    RequireDatabase();
    return m_database->HandleAddress();
}

isc_tr_handle* TIBBase::TransactionHandle()
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

// ---------------------------------------------------------------- DPB

std::string BuildDPB(const TStringList& params)
{
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    for (const std::string& line : params.Lines()) {
        const std::size_t eq = line.find('=');
        const std::string name = eq == std::string::npos ? std::string() : line.substr(0, eq);
        if (Trim(name).empty())
            continue;
        std::string key = LowerCase(name);
        const std::string value = line.substr(eq + 1);
        if (StartsWith(key, "isc_dpb_"))
            key.erase(0, 8);
        int code = 0;
        for (int i = 1; i <= kDPBNameCount; ++i)
            if (key == kDPBNames[i]) {
                code = i;
                break;
            }
        if (code == 0)
            RaiseClientError(ibxeDPBConstantUnknown, {name});
        const char item = static_cast<char>(code);
        switch (DPBKind(code)) {
        case TDPBKind::String:
            AppendShortValue(dpb, item, value, name);
            break;
        case TDPBKind::Dialect: {
            // The digit travels as its number: "3" becomes the byte 3.
            if (value.empty())
                RaiseClientError(ibxeSQLDialectInvalid);
            std::string digit = value;
            digit[0] = static_cast<char>(static_cast<unsigned char>(digit[0]) - 48);
            AppendShortValue(dpb, item, digit, name);
            break;
        }
        case TDPBKind::Byte:
            dpb += item;
            dpb += '\x01';
            dpb += static_cast<char>(StrToInt(value) & 0xFF);
            break;
        case TDPBKind::Sweep:
            dpb += item;
            dpb += '\x01';
            dpb += '\x02';
            break;
        case TDPBKind::Flag:
            dpb += item;
            dpb += '\x01';
            dpb += '\x00';
            break;
        case TDPBKind::Int32: {
            const std::uint32_t v = static_cast<std::uint32_t>(StrToInt(value));
            dpb += item;
            dpb += '\x04';
            for (int shift = 0; shift < 32; shift += 8)
                dpb += static_cast<char>((v >> shift) & 0xFF);
            break;
        }
        case TDPBKind::Refused:
            RaiseClientError(ibxeDPBConstantNotSupported, {std::string(kDPBNames[code])});
        }
    }
    RequireBufferFits(dpb, "DPB");
    return dpb;
}

// ---------------------------------------------------------------- TIBDatabase

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
        try {
            CloseForced();
        } catch (...) {
            // An event handler threw; CloseForced has closed the connection
            // all the same.
        }
    }
    for (std::size_t i = 0; i < m_sqlObjects.size(); ++i)
        if (TIBBase* link = m_sqlObjects[i]) {
            try {
                link->NotifyDatabaseFreed();
            } catch (...) {
            }
        }
    for (std::size_t i = 0; i < m_sqlObjects.size(); ++i)
        RemoveSqlLink(static_cast<int>(i));
    for (std::size_t i = 0; i < m_transactions.size(); ++i)
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
        // The forced close makes client calls of its own; the caller's
        // error is the one to report.
        ISC_STATUS_ARRAY saved;
        std::memcpy(saved, ThreadStatusVector(), sizeof saved);
        try {
            CloseForced();
        } catch (...) {
        }
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
    std::exception_ptr handlerError;
    const auto run = [&handlerError](const std::function<void()>& step) {
        try {
            step();
        } catch (...) {
            if (!handlerError)
                handlerError = std::current_exception();
        }
    };
    run([this] {
        if (BeforeDisconnect)
            BeforeDisconnect(this);
    });
    run([this] { SendConnectEvent(false); });
    ReleaseConnection(true);
    run([this] {
        if (AfterDisconnect)
            AfterDisconnect(this);
    });
    if (handlerError)
        std::rethrow_exception(handlerError);
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
        const std::string dpb = BuildDPB(m_params);
        m_paramsChanged = false;
        MallocPtr<char> buffer;
        ReallocZeroed(buffer, 0, dpb.size());
        std::memcpy(buffer.get(), dpb.data(), dpb.size());
        m_dpb = std::move(buffer);
        m_dpbLength = static_cast<short>(dpb.size());
    }
    ISC_STATUS status = ClientApi().isc_attach_database(ThreadStatusVector(),
                                                        static_cast<short>(m_databaseName.size()),
                                                        m_databaseName.c_str(), &m_handle, m_dpbLength, m_dpb.get());
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
    for (std::size_t i = 0; i < m_transactions.size(); ++i)
        if (TIBTransaction* transaction = m_transactions[i]) {
            try {
                transaction->EndBeforeDisconnect(this);
            } catch (...) {
                if (!force)
                    throw;
            }
        }
    while (Connected() && m_linksToldBefore < m_sqlObjects.size())
        if (TIBBase* link = m_sqlObjects[m_linksToldBefore++]) {
            try {
                link->NotifyBeforeDisconnect();
            } catch (...) {
                if (!force)
                    throw;
            }
        }
    if (!Connected())
        return;
    if (!m_handleIsShared) {
        ISC_STATUS status = CheckCall(ClientApi().isc_detach_database(ThreadStatusVector(), &m_handle), false);
        if (status > 0 && !force)
            RaiseServerError();
    }
    m_handle = 0;
    m_handleIsShared = false;
    for (std::size_t i = 0; i < m_sqlObjects.size(); ++i)
        if (TIBBase* link = m_sqlObjects[i]) {
            try {
                link->NotifyAfterDisconnect();
            } catch (...) {
                if (!force)
                    throw;
            }
        }
}

int TIBDatabase::AddSqlLink(TIBBase* link)
{
    if (link->OwnerIsDataSet())
        RegisterClient(link->Owner());
    return FirstEmptySlotOrAppend(m_sqlObjects, link);
}

void TIBDatabase::RemoveSqlLink(int index)
{
    if (!ValidSlot(m_sqlObjects, index))
        return;
    TIBBase* link = m_sqlObjects[static_cast<std::size_t>(index)];
    m_sqlObjects[static_cast<std::size_t>(index)] = nullptr;
    link->SetLinkedDatabase(nullptr);
    if (link->OwnerIsDataSet())
        UnRegisterClient(link->Owner());
}

int TIBDatabase::AddTransactionLink(TIBTransaction* transaction)
{
    if (IndexOfTransaction(transaction) >= 0)
        return -1;
    const int index = FirstEmptySlotOrAppend(m_transactions, transaction);
    // Both lists always name each other, so either side can unlink both.
    transaction->AddDatabaseLink(this);
    return index;
}

void TIBDatabase::RemoveTransactionLink(int index)
{
    if (!ValidSlot(m_transactions, index))
        return;
    TIBTransaction* transaction = m_transactions[static_cast<std::size_t>(index)];
    m_transactions[static_cast<std::size_t>(index)] = nullptr;
    transaction->RemoveDatabaseLink(transaction->IndexOfDatabase(this));
    if (transaction == m_defaultTransaction)
        m_defaultTransaction = nullptr;
}

int TIBDatabase::IndexOfTransaction(const TIBTransaction* transaction) const
{
    return IndexOfSlot(m_transactions, transaction);
}

TIBTransaction* TIBDatabase::FindDefaultTransaction() const
{
    if (m_defaultTransaction)
        return m_defaultTransaction;
    for (TIBTransaction* transaction : m_transactions)
        if (transaction && transaction->DefaultDatabase() == this && transaction != m_internalTransaction.get())
            return transaction;
    return nullptr;
}

int TIBDatabase::TransactionCount() const
{
    return CountFilled(m_transactions);
}

int TIBDatabase::SqlObjectCount() const
{
    return CountFilled(m_sqlObjects);
}

// ---------------------------------------------------------------- TPB

std::string BuildTPB(const TStringList& params)
{
    if (params.Empty())
        return {};
    std::string tpb(1, static_cast<char>(isc_tpb_version3));
    for (const std::string& line : params.Lines()) {
        if (Trim(line).empty())
            continue;
        const std::size_t eq = line.find('=');
        const std::string nameAsWritten = eq == std::string::npos ? line : line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        std::string name = LowerCase(nameAsWritten);
        if (StartsWith(name, "isc_tpb_"))
            name.erase(0, 8);
        int code = 0;
        for (int i = 1; i <= kTPBNameCount; ++i)
            if (name == kTPBNames[i]) {
                code = i;
                break;
            }
        switch (code) {
        case 0:
            RaiseClientError(ibxeTPBConstantUnknown, {nameAsWritten});
        case isc_tpb_verb_time:
        case isc_tpb_commit_time:
        case isc_tpb_autocommit:
        case isc_tpb_restart_requests:
        case isc_tpb_no_auto_undo:
            RaiseClientError(ibxeTPBConstantNotSupported, {std::string(kTPBNames[code])});
        case isc_tpb_lock_read:
        case isc_tpb_lock_write:
            AppendShortValue(tpb, static_cast<char>(code), value, nameAsWritten);
            break;
        default:
            tpb += static_cast<char>(code);
        }
    }
    RequireBufferFits(tpb, "TPB");
    return tpb;
}

// ---------------------------------------------------------------- TIBTransaction

TIBTransaction::TIBTransaction(std::string name) : TComponent(std::move(name))
{
    EnsureClientLoaded();
    m_params.OnChanging = [this] { RequireInactive(); };
    m_params.OnChange = [this] { m_paramsChanged = true; };
}

TIBTransaction::~TIBTransaction()
{
    try {
        EndBeforeDisconnect(m_defaultDatabase);
    } catch (...) {
    }
    for (std::size_t i = 0; i < m_sqlObjects.size(); ++i)
        if (TIBBase* link = m_sqlObjects[i]) {
            try {
                link->NotifyTransactionFreed();
            } catch (...) {
            }
        }
    for (std::size_t i = 0; i < m_sqlObjects.size(); ++i)
        RemoveSqlLink(static_cast<int>(i));
    for (std::size_t i = 0; i < m_databases.size(); ++i)
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
        for (std::size_t i = 0; i < m_sqlObjects.size(); ++i)
            if (TIBBase* link = m_sqlObjects[i]; link && !link->Database())
                link->SetLinkedDatabase(database);
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
    const int count = DatabaseCount();
    if (count == 0)
        RaiseClientError(ibxeNoDatabasesInTransaction);
    for (TIBDatabase* database : m_databases)
        if (database && !database->Connected())
            RaiseClientError(ibxeDatabaseClosed);
    if (m_paramsChanged) {
        // Built before the flag is cleared: after a refused option the next
        // start builds (and refuses) again instead of using a stale buffer.
        const std::string tpb = BuildTPB(m_params);
        m_paramsChanged = false;
        if (!tpb.empty()) {
            MallocPtr<char> buffer;
            ReallocZeroed(buffer, 0, tpb.size());
            std::memcpy(buffer.get(), tpb.data(), tpb.size());
            m_tpb = std::move(buffer);
        }
        m_tpbLength = static_cast<short>(tpb.size());
    }
    std::vector<ISC_TEB> teb(static_cast<std::size_t>(count));   // zero-filled, freed on every path
    std::size_t entry = 0;
    for (TIBDatabase* database : m_databases)
        if (database) {
            teb[entry].db_handle = database->HandleAddress();
            teb[entry].tpb_length = m_tpbLength;
            teb[entry].tpb = m_tpbLength > 0 ? m_tpb.get() : nullptr;
            ++entry;
        }
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
    auto notify = [this, forced](void (TIBBase::*notification)()) {
        for (std::size_t i = 0; i < m_sqlObjects.size(); ++i)
            if (TIBBase* link = m_sqlObjects[i]) {
                if (!forced) {
                    (link->*notification)();
                    continue;
                }
                try {
                    (link->*notification)();
                } catch (...) {
                }
            }
    };
    // A lost connection met by the commit or rollback below closes the
    // connection by force, which ends this transaction from inside this
    // end: that inner end leaves out what the links heard already, and this
    // one leaves out what the inner end told them.
    if (!m_ending)
        notify(&TIBBase::NotifyBeforeTransactionEnd);
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
    notify(&TIBBase::NotifyAfterTransactionEnd);
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
    for (TIBBase* link : m_sqlObjects)
        if (link)
            if (auto* dataSet = dynamic_cast<TDataSet*>(link->Owner()); dataSet && dataSet->Active())
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

int TIBTransaction::AddSqlLink(TIBBase* link)
{
    return FirstEmptySlotOrAppend(m_sqlObjects, link);
}

void TIBTransaction::RemoveSqlLink(int index)
{
    if (!ValidSlot(m_sqlObjects, index))
        return;
    TIBBase* link = m_sqlObjects[static_cast<std::size_t>(index)];
    m_sqlObjects[static_cast<std::size_t>(index)] = nullptr;
    link->SetLinkedTransaction(nullptr);
}

int TIBTransaction::AddDatabaseLink(TIBDatabase* database)
{
    const int existing = IndexOfDatabase(database);
    if (existing >= 0)
        return existing;
    const int index = FirstEmptySlotOrAppend(m_databases, database);
    database->AddTransactionLink(this);
    return index;
}

void TIBTransaction::RemoveDatabaseLink(int index)
{
    if (!ValidSlot(m_databases, index))
        return;
    TIBDatabase* database = m_databases[static_cast<std::size_t>(index)];
    m_databases[static_cast<std::size_t>(index)] = nullptr;
    database->RemoveTransactionLink(database->IndexOfTransaction(this));
    if (database == m_defaultDatabase)
        m_defaultDatabase = nullptr;
}

int TIBTransaction::IndexOfDatabase(const TIBDatabase* database) const
{
    return IndexOfSlot(m_databases, database);
}

int TIBTransaction::DatabaseCount() const
{
    return CountFilled(m_databases);
}

int TIBTransaction::SqlObjectCount() const
{
    return CountFilled(m_sqlObjects);
}

TIBDatabase* TIBTransaction::FindDefaultDatabase() const
{
    if (m_defaultDatabase)
        return m_defaultDatabase;
    for (TIBDatabase* database : m_databases)
        if (database && database->DefaultTransaction() == this)
            return database;
    return nullptr;
}
