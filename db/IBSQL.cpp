// One SQL statement on the server: prepare, execute, fetch, close and drop,
// each client call checked through the statement's CheckCall.
#include "IBSQL.h"

#include "IBIntf.h"

#include <FirstError.h>
#include <IgnoreFailure.h>
#include <SysUtils.h>

#include <cstring>

namespace {

const TClientApi& Api()
{
    return ClientApi();
}

} // namespace

TIBSQL::TIBSQL(std::string name) : TComponent(std::move(name)), m_input(this), m_output(this)
{
    EnsureClientLoaded();
    m_base = std::make_unique<TIBBase>(this);
    m_base->OnTransactionEnding = [this](TIBBase*) { BeforeTransactionEnd(); };
    m_base->OnDatabaseDisconnecting = [this](TIBBase*) { BeforeDisconnect(); };
    m_sql.OnChanging = [this] { SQLChanging(); };
    std::string digits;
    while (digits.size() < 8)
        digits += IntToStr(Random(2147483647));
    m_cursorName = Name() + digits.substr(0, 8);
}

TIBSQL::~TIBSQL()
{
    m_sql.OnChanging = nullptr;
    CloseQuietly();
    DropQuietly();
}

int TIBSQL::SQLDialect() const
{
    if (TIBDatabase* database = m_base->Database())
        return database->SQLDialect();
    return DefaultSQLDialect;
}

void TIBSQL::SetDatabase(TIBDatabase* database)
{
    if (database == m_base->Database())
        return;
    // The server statement belongs to the old connection.
    if (m_handle != 0) {
        Close();
        DropStatement();
    }
    m_base->SetLinkedDatabase(database);
}

void TIBSQL::SetTransaction(TIBTransaction* transaction)
{
    if (transaction == m_base->Transaction())
        return;
    if (m_open)
        Close();
    m_base->SetLinkedTransaction(transaction);
}

ISC_STATUS TIBSQL::CheckCall(ISC_STATUS status, bool raise)
{
    if (TIBTransaction* transaction = m_base->Transaction())
        return transaction->CheckCall(status, raise);
    if (TIBDatabase* database = m_base->Database())
        return database->CheckCall(status, raise);
    if (raise && status > 0)
        RaiseServerError();
    return status;
}

void TIBSQL::SQLChanging()
{
    if (OnSQLChanging)
        OnSQLChanging(this);
    if (m_handle != 0)
        DropStatement();
}

void TIBSQL::PreprocessParams()
{
    TProcessedSQL processed = PreprocessSQL(m_sql.Text(), m_autoParamNames);
    m_input.Resize(static_cast<int>(processed.Names.size()));
    for (std::size_t i = 0; i < processed.Names.size(); ++i)
        m_input.RegisterName(processed.Names[i], static_cast<int>(i));
    TStringList lines;
    lines.SetText(processed.Text);
    lines.TextTo(m_processedText);
}

void TIBSQL::Prepare()
{
    if (m_open)
        RaiseClientError(ibxeSQLOpen);
    m_base->RequireDatabase();
    m_base->RequireTransaction();
    if (m_prepared)
        return;
    if (m_sql.Empty())
        RaiseClientError(ibxeEmptyQuery);
    if (m_paramCheck)
        PreprocessParams();
    else {
        m_sql.TextTo(m_processedText);   // as it stands; reuses the room of the last statement's text
        // One entry gives the describe room to say how many there are.
        if (m_positionalParams)
            m_input.Resize(1);
    }
    if (m_processedText.empty())
        RaiseClientError(ibxeEmptyQuery);
    const unsigned short dialect = static_cast<unsigned short>(SQLDialect());
    try {
        CheckCall(Api().isc_dsql_alloc_statement2(ThreadStatusVector(), m_base->DatabaseHandle(), &m_handle), true);
        CheckCall(Api().isc_dsql_prepare(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, 0,
                                         m_processedText.c_str(), dialect, nullptr),
                  true);
        ReadStatementType();
        switch (m_statementType) {
        case SQLGetSegment:
        case SQLPutSegment:
        case SQLStartTransaction:
            DropStatement();
            RaiseClientError(ibxeNotPermitted);
        default:
            if (m_statementType > SQLUnknown && m_statementType <= SQLSetGenerator)
                DescribeAreas();
        }
        m_prepared = true;
    } catch (...) {
        DropQuietly();
        throw;
    }
}

void TIBSQL::ReadStatementType()
{
    const char request[] = {isc_info_sql_stmt_type};
    char result[8] = {};
    CheckCall(Api().isc_dsql_sql_info(ThreadStatusVector(), &m_handle, sizeof request, request, sizeof result, result),
              true);
    if (result[0] != isc_info_sql_stmt_type)
        RaiseClientError(ibxeUnknownError);
    const ISC_LONG length = VaxInteger(result + 1, 2);
    // The value must lie inside the 8-byte reply.
    if (length < 0 || length > static_cast<ISC_LONG>(sizeof result) - 3)
        RaiseClientError(ibxeUnknownError);
    m_statementType = static_cast<int>(VaxInteger(result + 3, static_cast<int>(length)));
}

void TIBSQL::DescribeAreas()
{
    const unsigned short dialect = static_cast<unsigned short>(SQLDialect());
    if (XSQLDA* input = m_input.AsXSQLDA()) {
        if (CheckCall(Api().isc_dsql_describe_bind(ThreadStatusVector(), &m_handle, dialect, input), false) > 0)
            RaiseServerError();
        if (m_positionalParams && !m_paramCheck && input->sqld != m_input.Count()) {
            const int described = input->sqld;
            const bool grow = described > m_input.Count();
            m_input.Resize(described);
            input = m_input.AsXSQLDA();
            if (grow &&
                CheckCall(Api().isc_dsql_describe_bind(ThreadStatusVector(), &m_handle, dialect, input), false) > 0)
                RaiseServerError();
        }
        // Named by position, so that BindBuffers does not derive a name for
        // each entry from all the names before it.
        if (m_positionalParams && !m_paramCheck)
            for (int i = 0; i < m_input.Count(); ++i)
                m_input.RegisterName(IntToStr(i + 1), i);
        // Entries the walk did not register are not bound; the client must
        // not be handed them with buffers left from an earlier statement.
        if (input->sqld > m_input.Count())
            input->sqld = static_cast<ISC_SHORT>(m_input.Count());
    }
    m_input.BindBuffers();
    if (m_statementType == SQLSelect || m_statementType == SQLExecProcedure ||
        m_statementType == SQLSelectForUpdate) {
        m_output.Resize(1);
        CheckCall(Api().isc_dsql_describe(ThreadStatusVector(), &m_handle, dialect, m_output.AsXSQLDA()), true);
        if (m_output.AsXSQLDA()->sqld > m_output.AsXSQLDA()->sqln) {
            m_output.Resize(m_output.AsXSQLDA()->sqld);
            CheckCall(Api().isc_dsql_describe(ThreadStatusVector(), &m_handle, dialect, m_output.AsXSQLDA()), true);
        }
        if (m_output.AsXSQLDA()->sqld == 0)
            m_output.Resize(0);
        m_output.BindBuffers();
    }
}

void TIBSQL::ExecQuery()
{
    if (m_open)
        RaiseClientError(ibxeSQLOpen);
    if (!m_prepared)
        Prepare();
    m_base->RequireTransaction();
    if (m_handle == 0)
        RaiseClientError(ibxeInvalidStatementHandle);
    const unsigned short dialect = static_cast<unsigned short>(SQLDialect());
    switch (m_statementType) {
    case SQLSelect:
        CheckCall(Api().isc_dsql_execute2(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect,
                                          m_input.AsXSQLDA(), nullptr),
                  true);
        m_open = true;
        m_bof = true;
        m_eof = false;
        m_recordCount = 0;
        try {
            CheckCall(Api().isc_dsql_set_cursor_name(ThreadStatusVector(), &m_handle, m_cursorName.c_str(), 0), true);
        } catch (...) {
            // The server's cursor is open: close it, or the next execution
            // would meet it.
            CloseQuietly();
            throw;
        }
        if (m_goToFirstRecordOnExecute)
            Fetch();
        break;
    case SQLExecProcedure: {
        const ISC_STATUS status =
            CheckCall(Api().isc_dsql_execute2(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect,
                                              m_input.AsXSQLDA(), m_output.AsXSQLDA()),
                      false);
        if (status == 0)
            break;
        if (status == isc_lock_conflict_code)
            RaiseServerError();
        Api().isc_dsql_prepare(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, 0,
                               m_processedText.c_str(), dialect, nullptr);
        CheckCall(Api().isc_dsql_execute2(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect,
                                          m_input.AsXSQLDA(), m_output.AsXSQLDA()),
                  true);
        break;
    }
    default:
        CheckCall(Api().isc_dsql_execute(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect,
                                         m_input.AsXSQLDA()),
                  true);
    }
}

void TIBSQL::ExecPrepared()
{
    if (!m_prepared || m_handle == 0)
        RaiseClientError(ibxeInvalidStatementHandle);
    if (m_statementType == SQLSelect || m_statementType == SQLSelectForUpdate)
        RaiseClientError(ibxeNotPermitted);
    m_base->RequireTransaction();
    const unsigned short dialect = static_cast<unsigned short>(SQLDialect());
    XSQLDA* input = m_input.Count() > 0 ? m_input.AsXSQLDA() : nullptr;
    if (m_output.Count() > 0)
        CheckCall(Api().isc_dsql_execute2(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect, input,
                                          m_output.AsXSQLDA()),
                  true);
    else
        CheckCall(Api().isc_dsql_execute(ThreadStatusVector(), m_base->TransactionHandle(), &m_handle, dialect, input),
                  true);
}

TIBXSQLDA* TIBSQL::Fetch()
{
    if (m_eof)
        return nullptr;
    if (!m_open)
        RaiseClientError(ibxeSQLClosed);
    const ISC_STATUS status = CheckCall(
        Api().isc_dsql_fetch(ThreadStatusVector(), &m_handle, static_cast<unsigned short>(SQLDialect()),
                             m_output.AsXSQLDA()),
        false);
    if (status != 0) {
        if (status == 100 || StatusVectorHas({isc_dsql_cursor_err_code})) {
            m_eof = true;
            return nullptr;
        }
        if (status > 0) {
            // The message is built before Close makes another call that
            // would overwrite the status vector.
            try {
                RaiseServerError();
            } catch (...) {
                CloseQuietly();
                throw;
            }
        }
    }
    ++m_recordCount;
    m_bof = false;
    return &m_output;
}

void TIBSQL::ResetCursor() noexcept
{
    m_eof = false;
    m_bof = false;
    m_open = false;
    m_recordCount = 0;
}

void TIBSQL::Close()
{
    bool raise = false;
    if (m_handle != 0 && m_statementType == SQLSelect && m_open) {
        const ISC_STATUS status =
            CheckCall(Api().isc_dsql_free_statement(ThreadStatusVector(), &m_handle, DSQL_close), false);
        raise = ThreadStatusVector()[0] == 1 && status > 0 &&
                !StatusVectorHas({isc_bad_stmt_handle_code, isc_dsql_cursor_close_err_code});
    }
    ResetCursor();
    if (raise)
        RaiseServerError();
}

void TIBSQL::CloseQuietly() noexcept
{
    IgnoreFailure("the cursor is reset whatever the server says; the caller reports an error of its own or none",
                  [this] { Close(); });
}

void TIBSQL::DropQuietly() noexcept
{
    if (m_handle == 0)
        return;
    IgnoreFailure("the handle is forgotten whatever the server says; the caller reports an error of its own or none",
                  [this] { DropStatement(); });
}

void TIBSQL::DropStatement()
{
    m_output.Resize(0);
    m_input.Resize(0);
    bool raise = false;
    if (m_handle != 0) {
        const ISC_STATUS status =
            CheckCall(Api().isc_dsql_free_statement(ThreadStatusVector(), &m_handle, DSQL_drop), false);
        raise = ThreadStatusVector()[0] == 1 && status > 0 && !StatusVectorHas({isc_bad_stmt_handle_code});
    }
    m_prepared = false;
    m_handle = 0;
    // Dropping the statement also ends its cursor on the server.
    ResetCursor();
    if (raise)
        RaiseServerError();
}

int TIBSQL::AffectedRows()
{
    if (!m_prepared)
        return -1;
    const char request[] = {isc_info_sql_records};
    char reply[1049] = {};
    if (CheckCall(Api().isc_dsql_sql_info(ThreadStatusVector(), &m_handle, sizeof request, request, sizeof reply,
                                          reply),
                  false) > 0)
        RaiseServerError();
    if (reply[0] != isc_info_sql_records)
        return -1;
    char wanted;
    switch (m_statementType) {
    case SQLUpdate:
        wanted = isc_info_req_update_count;
        break;
    case SQLDelete:
        wanted = isc_info_req_delete_count;
        break;
    case SQLInsert:
        wanted = isc_info_req_insert_count;
        break;
    default:
        return -1;
    }
    // The counts come as items (code, 2-byte length, value); they are found
    // by their codes, inside the reply's own length.
    const std::size_t end =
        std::min<std::size_t>(3 + static_cast<std::uint16_t>(VaxInteger(reply + 1, 2)), sizeof reply);
    std::size_t p = 3;
    while (p + 3 <= end && reply[p] != isc_info_end) {
        const std::size_t length = static_cast<std::uint16_t>(VaxInteger(reply + p + 1, 2));
        if (p + 3 + length > end)
            break;
        if (reply[p] == wanted)
            return static_cast<int>(VaxInteger(reply + p + 3, static_cast<int>(length)));
        p += 3 + length;
    }
    return -1;
}

TIBXSQLVAR& TIBSQL::Column(int index)
{
    if (index < 0 || index >= m_output.Count())
        RaiseClientError(ibxeFieldNotFound, {IntToStr(index)});
    return m_output.Item(index);
}

TIBXSQLDA& TIBSQL::InputArea()
{
    if (!m_prepared)
        Prepare();
    return m_input;
}

void TIBSQL::BeforeTransactionEnd()
{
    if (m_open)
        Close();
}

void TIBSQL::BeforeDisconnect()
{
    if (m_handle == 0)
        return;
    TFirstError error;
    error.Run([this] { Close(); });
    error.Run([this] { DropStatement(); });
    error.Rethrow();
}
