// The result set's rows in memory: the record layout taken from the output
// area, each fetched row converted into a record and copied into the cache,
// and the moves of the framework's record buffers over that cache.
#include "IBCustomDataSet.h"

#include "IBHeader.h"
#include "IBRecordLayout.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
