// The result set's life: its links, the prepared select and the field
// definitions taken from it, open and close, and the engine's fields that
// read their values from the current record.
#include "IBCustomDataSet.h"

#include "IBIntf.h"
#include "IBRecordLayout.h"
#include "IBSQLValues.h"

#include <FirstError.h>
#include <IgnoreFailure.h>
#include <ScopeExit.h>
#include <SysUtils.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

struct TColumnKind {
    TFieldType type = ftUnknown;    // ftUnknown: the column gets no definition
    int size = 0;
    int precision = 0;
};

TColumnKind FieldKindOf(const TIBXSQLVAR& column)
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
            return {ftBCD, -scale, TIBBCDField::kBigintPrecision};
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
    IgnoreFailure("destruction cannot report; a failing close has freed the rows and the fields all the same",
                  [this] { Close(); });
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
    const TScopeExit endUpdate([&defs] { defs.EndUpdate(); });
    defs.Clear();
    TIBXSQLDA& output = m_select->OutputArea();
    const int count = output.Count();
    if (static_cast<int>(m_mappedPositions.size()) < count)
        m_mappedPositions.resize(static_cast<std::size_t>(count), 0);
    std::size_t kept = 0;
    for (int i = 1; i <= count; ++i) {
        const TIBXSQLVAR& column = output.Item(i - 1);
        const TColumnKind kind = FieldKindOf(column);
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
        const std::string relation = column.RelName();
        const std::string field = column.SqlName();
        if (!relation.empty() && !field.empty()) {
            TSchema& schema = *m_base->Database()->Schema();
            if (schema.IsComputed(relation, field)) {
                def.Attributes = faReadonly;
                def.InternalCalcField = true;
            } else {
                (void)schema.HasDefault(relation, field);   // matters only for editing rows
            }
        }
        if (column.SqlType() == SQL_TEXT)
            def.Attributes |= faFixed;
        defs.Add(std::move(def));
    }
    for (std::size_t k = kept; k < m_mappedPositions.size(); ++k)
        m_mappedPositions[k] = 0;
}

void TIBCustomDataSet::InternalOpen()
{
    EnsureConnection();
    EnsureTransaction();    // a transaction started here stays active
    PrepareForOpen();
    EnsureConnection();
    EnsureTransaction();
    if (m_select->SQL().Empty())   // the lines joined are empty only when there are none
        RaiseClientError(ibxeEmptyQuery);
    if (!m_prepared)
        PrepareStatements();
    if (m_select->StatementType() != SQLSelect) {
        m_select->ExecQuery();
    } else {
        CreateFields();
        m_currentRow = -1;
        m_select->ExecQuery();
        m_cursorOpen = m_select->Open();
        LayoutRecord();
        m_chunkSize = static_cast<std::size_t>(m_recordBufferSize) * static_cast<std::size_t>(m_bufferChunks);
        m_cache.Allocate(m_chunkSize);
        m_cachePosition = m_cacheEnd = 0;
        m_cacheGrowths = 0;
        m_fetchedRows = 0;
    }
    m_affectedRows = m_select->AffectedRows();
}

void TIBCustomDataSet::InternalClose()
{
    // Everything is freed, also when closing the server's cursor fails;
    // then that error leaves.
    TFirstError failure;
    failure.Run([this] { ReleaseTransaction(); });
    failure.Run([this] { m_select->Close(); });
    FreeCaches();
    DestroyFields();
    failure.Rethrow();
}

std::unique_ptr<TField> TIBCustomDataSet::CreateField(const TFieldDef& def)
{
    switch (def.DataType) {
    case ftString:
        return std::make_unique<TIBStringField>(this, def);
    case ftBCD:
        return std::make_unique<TIBBCDField>(this, def);
    case ftDate:
        return std::make_unique<TIBDateField>(this, def);
    case ftTime:
        return std::make_unique<TIBTimeField>(this, def);
    case ftDateTime:
        return std::make_unique<TIBDateTimeField>(this, def);
    case ftMemo:
        return std::make_unique<TIBMemoField>(this, def);
    case ftBlob:
        return std::make_unique<TIBBlobField>(this, def);
    default:
        return TDataSet::CreateField(def);
    }
}

namespace {

// The descriptor of the field's column in the record, or null when there is
// no record or the field has no column in it.
const TColumnDescriptor* FieldColumn(const char* record, const TField& field)
{
    if (!record)
        return nullptr;
    const int position = field.FieldNo();
    if (position <= 0 || position > Header(record).ColumnCount)
        return nullptr;
    return &Descriptor(record, position - 1);
}

bool IsText(const TColumnDescriptor& d)
{
    return d.DataType == SQL_VARYING || d.DataType == SQL_TEXT;
}

// Every field of the string kind is a TStringField (CreateField).
bool FixedChar(const TField& field)
{
    return field.DataType() == ftString && static_cast<const TStringField&>(field).FixedChar();
}

void CheckTextFits(const TField& field, const TColumnDescriptor& d)
{
    if (field.Size() < d.DataLength)
        RaiseClientError(ibxeFieldSizeMismatch, {field.FieldName()});
}

} // namespace

bool TIBCustomDataSet::GetFieldData(const TField& field, void* buffer) const
{
    const char* record = ActiveBuffer();
    const TColumnDescriptor* d = FieldColumn(record, field);
    if (!d || d->IsNull)
        return false;
    char* out = static_cast<char*>(buffer);
    if (IsText(*d)) {
        CheckTextFits(field, *d);
        if (FixedChar(field)) {
            std::memset(out, ' ', static_cast<std::size_t>(field.Size()));
            std::memcpy(out, record + d->DataOffset, d->DataLength);
            out[field.Size()] = '\0';
        } else {
            std::memcpy(out, record + d->DataOffset, d->DataLength);
            out[d->DataLength] = '\0';
        }
    } else {
        std::memcpy(out, record + d->DataOffset, std::min<std::size_t>(d->DataSize, static_cast<std::size_t>(field.DataSize())));
    }
    return true;
}

std::string TIBCustomDataSet::GetFieldText(const TField& field) const
{
    const char* record = ActiveBuffer();
    const TColumnDescriptor* d = FieldColumn(record, field);
    if (!d || d->IsNull || !IsText(*d))
        return {};
    CheckTextFits(field, *d);
    // As GetFieldData writes it, up to its first zero byte.
    const char* bytes = record + d->DataOffset;
    const void* zero = std::memchr(bytes, '\0', d->DataLength);
    if (zero)
        return std::string(bytes, static_cast<const char*>(zero));
    if (!FixedChar(field))
        return std::string(bytes, d->DataLength);
    std::string padded(static_cast<std::size_t>(field.Size()), ' ');
    std::memcpy(padded.data(), bytes, d->DataLength);
    return padded;
}

TIBStringField::TIBStringField(TDataSet* dataSet, const TFieldDef& def) : TStringField(dataSet, def)
{
}

std::string TIBBCDField::AsString() const
{
    if (Precision() != kBigintPrecision)
        return TBCDField::AsString();
    std::int64_t value{};
    if (!GetData(&value))
        return {};
    return ScaledText(value, -Size());
}

std::string TIBStringField::AsString() const
{
    // Only the result set's CreateField makes these fields.
    return static_cast<const TIBCustomDataSet*>(DataSet())->GetFieldText(*this);
}

namespace {

// The slot holds the runtime's date-time (ConvertIntoSlot); the field's kind
// says which parts its text shows.
std::string DateTimeFieldText(const TField& field)
{
    double value{};
    if (!field.DataSet()->GetFieldData(field, &value))
        return {};
    const ISC_TIMESTAMP stamp = FromDateTime(value);
    switch (field.DataType()) {
    case ftDate:
        return DateText(stamp.timestamp_date);
    case ftTime:
        return TimeText(stamp.timestamp_time);
    default:
        return DateText(stamp.timestamp_date) + " " + TimeText(stamp.timestamp_time);
    }
}

std::string BlobFieldText(const TField& field)
{
    if (field.IsNull())
        return {};
    RaiseClientError(ibxeNotSupported);
}

} // namespace

std::string TIBDateTimeField::AsString() const
{
    return DateTimeFieldText(*this);
}

std::string TIBDateField::AsString() const
{
    return DateTimeFieldText(*this);
}

std::string TIBTimeField::AsString() const
{
    return DateTimeFieldText(*this);
}

std::string TIBBlobField::AsString() const
{
    return BlobFieldText(*this);
}

std::string TIBMemoField::AsString() const
{
    return BlobFieldText(*this);
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
