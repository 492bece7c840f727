// The result set's record buffer, shared by the row cache that fills it and
// the fields that read their columns from it.
#pragma once

#include <cstddef>
#include <cstdint>

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

inline TRecordHeader& Header(char* record)
{
    return *reinterpret_cast<TRecordHeader*>(record);
}

inline const TRecordHeader& Header(const char* record)
{
    return *reinterpret_cast<const TRecordHeader*>(record);
}

inline TColumnDescriptor& Descriptor(char* record, int column)
{
    return reinterpret_cast<TColumnDescriptor*>(record + sizeof(TRecordHeader))[column];
}

inline const TColumnDescriptor& Descriptor(const char* record, int column)
{
    return reinterpret_cast<const TColumnDescriptor*>(record + sizeof(TRecordHeader))[column];
}

// The bytes of the header and the descriptors of that many columns.
inline std::size_t LayoutBytes(std::size_t columns)
{
    return sizeof(TRecordHeader) + sizeof(TColumnDescriptor) * columns;
}
