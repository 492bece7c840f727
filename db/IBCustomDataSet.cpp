#include "IBCustomDataSet.h"

#include "IBIntf.h"
#include "IBSQLValues.h"

#include <FirstError.h>
#include <ScopeExit.h>
#include <SysUtils.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// A record buffer: this header, one descriptor per column of the output
// area, then the columns' slots in column order without gaps.
struct TRecordHeader {
    std::uint8_t PositionFlag;      // TPositionFlag
    std::int16_t ColumnCount;
    std::int32_t RecordNumber;      // the row's index in the cache: its bookmark
    std::uint8_t UpdateStatus;
    std::uint8_t CachedUpdateStatus;
    std::uint32_t SavedPosition;
    std::uint8_t RowKey[8];
};

struct TColumnDescriptor {
    std::int16_t DataType;          // the SQL type code without the nullable bit
    std::int16_t Scale;
    bool Nullable;
    bool IsNull;
    std::uint16_t DataSize;         // the slot's bytes
    std::uint16_t DataLength;       // a text's actual bytes
    std::uint32_t DataOffset;       // from the start of the record buffer
};

enum TPositionFlag : std::uint8_t { pfCurrent, pfBeforeStart, pfPastEnd, pfInserted };

TRecordHeader& Header(char* record)
{
    return *reinterpret_cast<TRecordHeader*>(record);
}

const TRecordHeader& Header(const char* record)
{
    return *reinterpret_cast<const TRecordHeader*>(record);
}

TColumnDescriptor& Descriptor(char* record, int column)
{
    return reinterpret_cast<TColumnDescriptor*>(record + sizeof(TRecordHeader))[column];
}

const TColumnDescriptor& Descriptor(const char* record, int column)
{
    return reinterpret_cast<const TColumnDescriptor*>(record + sizeof(TRecordHeader))[column];
}

// The bytes of the header and the descriptors of that many columns.
std::size_t LayoutBytes(std::size_t columns)
{
    return sizeof(TRecordHeader) + sizeof(TColumnDescriptor) * columns;
}

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

void TIBCustomDataSet::FreeCaches() noexcept
{
    m_modelRecord.Reset();
    m_currentRow = -1;
    m_cursorOpen = false;
    m_fetchedRows = 0;
    m_recordSize = 0;
    m_recordBufferSize = 0;
    m_columnSlots.clear();
    m_cachePosition = m_cacheEnd = 0;
    m_cache.Reset();
}

void TIBCustomDataSet::LayoutRecord()
{
    const std::size_t headerAndDescriptors = LayoutBytes(static_cast<std::size_t>(m_select->OutputArea().Count()));
    m_recordSize = static_cast<int>(headerAndDescriptors);
    m_modelRecord.AllocateZeroed(headerAndDescriptors);
    FetchRowToRecord(-1, m_modelRecord.Data());
    // No calculated and no blob-pointer areas follow the columns here.
    m_recordBufferSize = m_recordSize;
    m_modelRecord.ResizeZeroed(static_cast<std::size_t>(m_recordBufferSize));
}

namespace {

// The slot a column of this kind takes in a record buffer.
std::uint16_t SlotSize(const TIBXSQLVAR& column)
{
    switch (column.SqlType()) {
    case SQL_DOUBLE: case SQL_FLOAT: case SQL_INT64: case SQL_TIMESTAMP: case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: case SQL_D_FLOAT:
        return 8;
    case SQL_LONG:
        return column.Scale() == 0 ? 4 : 8;
    case SQL_SHORT:
        return column.Scale() == 0 ? 4 : 8;
    default:
        return static_cast<std::uint16_t>(std::max(column.Length(), 0));
    }
}

// Converts a column that is no text into its slot as the field of its kind
// reads it (see the field classes).
void ConvertIntoSlot(const TIBXSQLVAR& column, char* slot, std::uint16_t slotSize)
{
    const int scale = column.Scale();
    switch (column.SqlType()) {
    case SQL_LONG:
    case SQL_SHORT:
    case SQL_INT64:
        // The kinds: scale 0 an integer, a SMALLINT or a scale of -1 to -4
        // BCD, any other scale a double. A BIGINT's BCD slot holds the
        // column's own integer (TIBBCDField reads it at the column's scale):
        // as currency it would overflow above 922,337,203,685,477. The
        // others hold currency, which holds all they can carry.
        if (scale == 0) {
            if (column.SqlType() == SQL_INT64) {
                const std::int64_t value = column.AsInt64();
                std::memcpy(slot, &value, sizeof value);
            } else {
                const std::int32_t value = column.AsLong();
                std::memcpy(slot, &value, sizeof value);
            }
        } else if (column.SqlType() == SQL_INT64 && scale < 0 && scale >= -4) {
            std::int64_t value = 0;
            if (const char* data = column.XSqlVar()->sqldata)
                std::memcpy(&value, data, sizeof value);
            std::memcpy(slot, &value, sizeof value);
        } else if (column.SqlType() == SQL_SHORT || (scale < 0 && scale >= -4)) {
            const std::int64_t value = column.AsCurrency();
            std::memcpy(slot, &value, sizeof value);
        } else {
            const double value = column.AsDouble();
            std::memcpy(slot, &value, sizeof value);
        }
        return;
    case SQL_DOUBLE:
    case SQL_FLOAT:
    case SQL_D_FLOAT: {
        const double value = column.AsDouble();
        std::memcpy(slot, &value, sizeof value);
        return;
    }
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: {
        const double value = column.AsDateTime();
        std::memcpy(slot, &value, sizeof value);
        return;
    }
    default: {
        // Blob and array identifiers and unknown kinds: the bytes as they came.
        const char* data = column.XSqlVar()->sqldata;
        if (data)
            std::memcpy(slot, data, std::min<std::size_t>(slotSize, static_cast<std::size_t>(std::max(column.Length(), 0))));
        return;
    }
    }
}

} // namespace

void TIBCustomDataSet::FetchRowToRecord(int recordNumber, char* record)
{
    if (recordNumber < 0) {
        LayoutColumns(record);
        return;
    }
    // Every row has the model's layout: header and descriptors come from it,
    // and only the record number, the null flags, the text lengths and the
    // values are the row's own.
    std::memcpy(record, m_modelRecord.Data(), LayoutBytes(m_columnSlots.size()));
    Header(record).RecordNumber = recordNumber;
    for (std::size_t i = 0; i < m_columnSlots.size(); ++i) {
        const TColumnSlot& c = m_columnSlots[i];
        const XSQLVAR& var = *c.column->XSqlVar();
        TColumnDescriptor& d = Descriptor(record, static_cast<int>(i));
        d.IsNull = IsNullVar(var);
        char* slot = record + c.offset;
        switch (c.kind) {
        case TColumnSlot::Varying: {
            // A length beyond the declared one would run past the slot.
            const std::uint16_t length =
                static_cast<std::uint16_t>(std::clamp<int>(VaxInteger(var.sqldata, 2), 0, c.size));
            d.DataLength = length;
            if (length > 0)
                std::memcpy(slot, var.sqldata + 2, length);
            break;
        }
        case TColumnSlot::Text:
            if (c.size > 0)
                std::memcpy(slot, var.sqldata, c.size);
            break;
        case TColumnSlot::Other:
            ConvertIntoSlot(*c.column, slot, c.size);
            break;
        }
    }
    WriteCachedRow(recordNumber, record);
}

void TIBCustomDataSet::StoreFetchedRow(char* record)
{
    try {
        FetchRowToRecord(m_fetchedRows, record);
    } catch (...) {
        // The server's cursor is already past this row: left open, the next
        // move would fetch the row after it and the rows would shift by one.
        // Closed, the next move finds the end, as after a failing fetch.
        m_select->CloseQuietly();
        throw;
    }
    ++m_fetchedRows;
}

void TIBCustomDataSet::LayoutColumns(char* record)
{
    TIBXSQLDA& output = m_select->OutputArea();
    const int count = output.Count();
    TRecordHeader& header = Header(record);
    header.PositionFlag = pfCurrent;
    header.ColumnCount = static_cast<std::int16_t>(count);
    header.RecordNumber = -1;
    header.UpdateStatus = 0;
    header.CachedUpdateStatus = 0;
    header.SavedPosition = 0xFFFFFFFFu;
    m_columnSlots.clear();
    m_columnSlots.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const TIBXSQLVAR& column = output.Item(i);
        const XSQLVAR& var = *column.XSqlVar();
        TColumnDescriptor& d = Descriptor(record, i);
        d.DataType = static_cast<std::int16_t>(var.sqltype & ~1);
        d.Scale = var.sqlscale;
        d.Nullable = (var.sqltype & 1) != 0;
        d.IsNull = true;
        TColumnSlot::TKind kind = TColumnSlot::Other;
        switch (d.DataType) {
        case SQL_VARYING:
            d.DataSize = static_cast<std::uint16_t>(std::max<int>(var.sqllen, 0));
            d.DataLength = 0;
            kind = TColumnSlot::Varying;
            break;
        case SQL_TEXT:
            d.DataSize = d.DataLength = static_cast<std::uint16_t>(std::max<int>(var.sqllen, 0));
            kind = TColumnSlot::Text;
            break;
        default:
            d.DataSize = SlotSize(column);
            d.DataLength = 0;
        }
        d.DataOffset = static_cast<std::uint32_t>(m_recordSize);
        m_recordSize += d.DataSize;
        m_columnSlots.push_back({&column, kind, d.DataSize, d.DataOffset});
    }
}

void TIBCustomDataSet::EnsureCacheCapacity()
{
    std::size_t size = m_cache.Size();
    while (m_cachePosition >= size)
        size += m_chunkSize;
    if (size == m_cache.Size())
        return;
    // The added bytes are written before they are read: no clearing.
    m_cache.Resize(size);
    ++m_cacheGrowths;
}

void TIBCustomDataSet::WriteCachedRow(int row, const char* record)
{
    m_cachePosition = static_cast<std::size_t>(row) * static_cast<std::size_t>(m_recordBufferSize);
    EnsureCacheCapacity();
    std::memcpy(m_cache.Data() + m_cachePosition, record, static_cast<std::size_t>(m_recordBufferSize));
    m_cachePosition += static_cast<std::size_t>(m_recordBufferSize);
    EnsureCacheCapacity();
    m_cacheEnd = std::max(m_cacheEnd, m_cachePosition);
}

void TIBCustomDataSet::ReadCachedRow(int row, char* record)
{
    m_cachePosition = static_cast<std::size_t>(row) * static_cast<std::size_t>(m_recordBufferSize);
    EnsureCacheCapacity();
    std::memcpy(record, m_cache.Data() + m_cachePosition, static_cast<std::size_t>(m_recordBufferSize));
    m_cachePosition += static_cast<std::size_t>(m_recordBufferSize);
    EnsureCacheCapacity();
}

char* TIBCustomDataSet::AllocRecordBuffer()
{
    // The framework owns it from here and gives it back to FreeRecordBuffer.
    TByteBlock buffer;
    buffer.Allocate(static_cast<std::size_t>(m_recordBufferSize));
    std::memcpy(buffer.Data(), m_modelRecord.Data(), buffer.Size());
    return buffer.Release();
}

void TIBCustomDataSet::FreeRecordBuffer(char* buffer) noexcept
{
    std::free(buffer);
}

TGetResult TIBCustomDataSet::GetRecord(char* buffer, TGetMode mode)
{
    TGetResult result = grError;
    switch (mode) {
    case gmNext:
        if (m_currentRow == m_fetchedRows) {
            result = grEOF;
        } else if (m_currentRow == m_fetchedRows - 1) {
            // Standing on the last row fetched: the server has the next one.
            if (!m_select->AtEnd()) {
                if (m_select->Fetch())
                    StoreFetchedRow(buffer);
                ++m_currentRow;
            }
            result = m_select->AtEnd() ? grEOF : grOK;
        } else if (m_currentRow < m_fetchedRows) {
            ++m_currentRow;
            ReadCachedRow(m_currentRow, buffer);
            result = grOK;
        }
        break;
    case gmCurrent:
        if (m_currentRow < 0) {
            result = grBOF;
        } else if (m_currentRow < m_fetchedRows) {
            ReadCachedRow(m_currentRow, buffer);
            result = grOK;
        } else {
            while (!m_select->AtEnd() && m_currentRow >= m_fetchedRows) {
                if (!m_select->Fetch())
                    break;
                StoreFetchedRow(buffer);
            }
            m_currentRow = m_fetchedRows - 1;
            if (m_currentRow >= 0) {
                ReadCachedRow(m_currentRow, buffer);
                result = grOK;
            } else {
                result = grBOF;
            }
        }
        break;
    case gmPrior:
        if (m_currentRow == 0) {
            m_currentRow = -1;
            result = grBOF;
        } else if (m_currentRow > 0 && m_currentRow <= m_fetchedRows) {
            --m_currentRow;
            ReadCachedRow(m_currentRow, buffer);
            result = grOK;
        } else if (m_currentRow == -1) {
            result = grBOF;
        }
        break;
    }
    if (result == grOK) {
        Header(buffer).PositionFlag = pfCurrent;
    } else {
        std::memcpy(buffer, m_modelRecord.Data(), static_cast<std::size_t>(m_recordBufferSize));
        Header(buffer).PositionFlag = result == grBOF ? pfBeforeStart : pfPastEnd;
    }
    return result;
}

void TIBCustomDataSet::InternalSetToRecord(char* buffer)
{
    switch (Header(buffer).PositionFlag) {
    case pfCurrent:
        m_currentRow = Header(buffer).RecordNumber;
        break;
    case pfBeforeStart:
        m_currentRow = -1;
        break;
    case pfPastEnd:
        // Every remaining row is fetched into the cache.
        while (!m_select->AtEnd() && m_select->Fetch())
            StoreFetchedRow(buffer);
        m_currentRow = m_fetchedRows;
        break;
    default:
        break;
    }
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
