#include "IBCustomDataSet.h"

#include "IBIntf.h"

#include <SysUtils.h>

#include <exception>

namespace {

struct TFieldKind {
    TFieldType type = ftUnknown;    // ftUnknown: the column gets no definition
    int size = 0;
    int precision = 0;
};

TFieldKind FieldKindOf(const TIBXSQLVAR& column)
{
    const int scale = column.Scale();
    switch (column.SqlType()) {
    case SQL_VARYING:
    case SQL_TEXT:
        return {ftString, column.Length(), 0};
    case SQL_DOUBLE:
    case SQL_FLOAT:
        return {ftFloat, 0, 0};
    case SQL_LONG:
        if (scale == 0)
            return {ftInteger, 0, 0};
        if (scale >= -4 && scale < 0)
            return {ftBCD, -scale, 9};
        return {ftFloat, 0, 0};
    case SQL_SHORT:
        if (scale == 0)
            return {ftSmallint, 0, 0};
        return {ftBCD, -scale, 4};
    case SQL_INT64:
        if (scale == 0)
            return {ftLargeint, 0, 0};
        if (scale >= -4 && scale < 0)
            return {ftBCD, -scale, 18};
        return {ftFloat, 0, 0};
    case SQL_TIMESTAMP:
        return {ftDateTime, 0, 0};
    case SQL_TYPE_DATE:
        return {ftDate, 0, 0};
    case SQL_TYPE_TIME:
        return {ftTime, 0, 0};
    case SQL_BLOB:
        return {column.SubType() == 1 ? ftMemo : ftBlob, 8, 0};
    default:
        return {};
    }
}

// Whether the lines, joined by CR LF, are nothing but blanks and control
// characters; the text is not built.
bool IsBlank(const TStringList& lines)
{
    for (const std::string& line : lines.Lines())
        for (char c : line)
            if (static_cast<unsigned char>(c) > 0x20)
                return false;
    return true;
}

} // namespace

TIBCustomDataSet::TIBCustomDataSet(std::string name) : TDataSet(std::move(name))
{
    EnsureClientLoaded();
    m_base = std::make_unique<TIBBase>(this, true);
    m_base->OnTransactionEnding = [this](TIBBase*) { BeforeTransactionEnd(); };
    m_base->OnDatabaseDisconnecting = [this](TIBBase*) { BeforeDisconnect(); };
    m_select = std::make_unique<TIBSQL>();
    m_select->SetGoToFirstRecordOnExecute(false);
    m_select->OnSQLChanging = [this](TComponent*) { SelectSQLChanging(); };
}

TIBCustomDataSet::~TIBCustomDataSet()
{
    try {
        Close();
    } catch (...) {
    }
    m_select->OnSQLChanging = nullptr;
}

void TIBCustomDataSet::SetDatabase(TIBDatabase* database)
{
    if (database == m_base->Database())
        return;
    if (m_cursorOpen)
        RaiseClientError(ibxeDatasetOpen);
    // The select statement gives up its server statement with the old connection.
    UnprepareStatements();
    m_base->SetLinkedDatabase(database);
    m_select->SetDatabase(database);
}

void TIBCustomDataSet::SetTransaction(TIBTransaction* transaction)
{
    if (transaction == m_base->Transaction())
        return;
    if (m_cursorOpen)
        RaiseClientError(ibxeDatasetOpen);
    m_base->SetLinkedTransaction(transaction);
    m_select->SetTransaction(transaction);
}

void TIBCustomDataSet::SetCachedUpdates(bool value)
{
    if (value)
        RaiseClientError(ibxeNotSupported);
    m_cachedUpdates = false;
}

void TIBCustomDataSet::EnsureConnection()
{
    if (!m_base->Database())
        RaiseClientError(ibxeDatabaseNotAssigned);
    if (!m_base->Transaction())
        RaiseClientError(ibxeTransactionNotAssigned);
    if (!m_base->Database()->Connected())
        m_base->Database()->Open();
}

bool TIBCustomDataSet::EnsureTransaction()
{
    TIBTransaction* transaction = m_base->Transaction();
    if (!transaction)
        RaiseClientError(ibxeTransactionNotAssigned);
    if (transaction->Active())
        return false;
    transaction->StartTransaction();
    return true;
}

void TIBCustomDataSet::ReleaseTransaction()
{
    if (TIBTransaction* transaction = m_base->Transaction())
        transaction->ApplyAutoStop();
}

void TIBCustomDataSet::PrepareStatements()
{
    if (m_prepared)
        return;
    if (IsBlank(m_select->SQL()))
        RaiseClientError(ibxeEmptySQLStatement);
    EnsureConnection();
    InEnsuredTransaction([&] {
        m_base->RequireDatabase();
        m_base->RequireTransaction();
        if (IsBlank(m_select->SQL()))
            RaiseClientError(ibxeEmptyQuery);
        if (!m_select->Prepared()) {
            m_select->SetParamCheck(m_paramCheck);
            m_select->Prepare();
        }
        m_prepared = true;
        BuildFieldDefs();
    });
}

void TIBCustomDataSet::UnprepareStatements()
{
    if (!m_prepared)
        return;
    if (m_cursorOpen || Active())
        RaiseClientError(ibxeDatasetOpen);
    FieldDefs().Clear();
    m_prepared = false;
}

void TIBCustomDataSet::BuildFieldDefs()
{
    TFieldDefs& defs = FieldDefs();
    defs.BeginUpdate();
    try {
        defs.Clear();
        TIBXSQLDA& output = m_select->OutputArea();
        const int count = output.Count();
        if (static_cast<int>(m_mappedPositions.size()) < count)
            m_mappedPositions.resize(static_cast<std::size_t>(count), 0);
        std::size_t kept = 0;
        for (int i = 1; i <= count; ++i) {
            const TIBXSQLVAR& column = output.Item(i - 1);
            const TFieldKind kind = FieldKindOf(column);
            if (kind.type == ftUnknown)
                continue;
            m_mappedPositions[kept++] = i;
            TFieldDef def;
            def.Name = column.AliasName();
            def.FieldNo = i;
            def.DataType = kind.type;
            def.Size = kind.size;
            def.Precision = kind.precision;
            def.Attributes = column.IsNullable() ? TFieldAttributes{0} : TFieldAttributes{faRequired};
            if (column.SqlType() == SQL_TEXT)
                def.Attributes |= faFixed;
            defs.Add(std::move(def));
        }
        for (std::size_t k = kept; k < m_mappedPositions.size(); ++k)
            m_mappedPositions[k] = 0;
    } catch (...) {
        defs.EndUpdate();
        throw;
    }
    defs.EndUpdate();
}

void TIBCustomDataSet::InternalOpen()
{
    RaiseClientError(ibxeNotSupported);
}

void TIBCustomDataSet::InternalClose()
{
    m_cursorOpen = false;
    m_select->Close();
}

void TIBCustomDataSet::SelectSQLChanging()
{
    if (m_cursorOpen || Active())
        Close();
    UnprepareStatements();
    FieldDefs().Clear();
}

void TIBCustomDataSet::BeforeTransactionEnd()
{
    if (Active())
        Close();
    m_select->DropStatement();
    m_prepared = false;
}

void TIBCustomDataSet::BeforeDisconnect()
{
    if (Active())
        Close();
    m_prepared = false;
}
