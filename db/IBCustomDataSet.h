// The buffered result set over a select statement: its link, its select
// statement, the field definitions derived from the output area, and the row
// cache that every fetched row is copied into, so that First and every
// repeated read come from memory.
#pragma once

#include "DB.h"
#include "IBDatabase.h"
#include "IBSQL.h"

#include <IgnoreFailure.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Takes any Size. Reads its text from the record in one copy.
class TIBStringField : public TStringField {
public:
    TIBStringField(TDataSet* dataSet, const TFieldDef& def);
    std::string AsString() const override;
};

// A BIGINT column's field (the only one of this precision) reads its slot as
// the column's own integer at the column's scale (Size is minus the scale);
// the others read currency, as the framework's field does.
class TIBBCDField : public TBCDField {
public:
    static constexpr int kBigintPrecision = 18;
    using TBCDField::TBCDField;
    std::string AsString() const override;
};

// The engine's date and time fields: "yyyy/mm/dd", "hh:nn:ss" (fractions of
// a second dropped), and both joined by a blank, through the client's own
// date and time types as the statement's text forms are.
class TIBDateTimeField : public TDateTimeField {
public:
    using TDateTimeField::TDateTimeField;
    std::string AsString() const override;
};

class TIBDateField : public TDateField {
public:
    using TDateField::TDateField;
    std::string AsString() const override;
};

class TIBTimeField : public TTimeField {
public:
    using TTimeField::TTimeField;
    std::string AsString() const override;
};

// The layer has no blob reader: the text of a blob that is not NULL raises
// client error 4.
class TIBBlobField : public TBlobField {
public:
    using TBlobField::TBlobField;
    std::string AsString() const override;
};

class TIBMemoField : public TMemoField {
public:
    using TMemoField::TMemoField;
    std::string AsString() const override;
};

class TIBCustomDataSet : public TDataSet {
public:
    explicit TIBCustomDataSet(std::string name = {});
    // Closes, swallowing what the server says.
    ~TIBCustomDataSet() override;

    TIBDatabase* Database() const noexcept { return m_base->Database(); }
    // Client error 33 while the cursor is open; a different connection
    // unprepares the result set.
    void SetDatabase(TIBDatabase* database);
    TIBTransaction* Transaction() const noexcept { return m_base->Transaction(); }
    // Client error 33 while the cursor is open.
    void SetTransaction(TIBTransaction* transaction);
    int BufferChunks() const noexcept { return m_bufferChunks; }
    // A value below 1 stores 1000.
    void SetBufferChunks(int value) noexcept { m_bufferChunks = value < 1 ? 1000 : value; }
    bool CachedUpdates() const noexcept { return m_cachedUpdates; }
    // Only false is supported: true raises client error 4.
    void SetCachedUpdates(bool value);

    TIBBase& Base() noexcept { return *m_base; }
    // The select statement: its SQL mirrors the query's, every fetch is
    // made by the result set.
    TIBSQL& SelectSQL() noexcept { return *m_select; }
    // The result set's own prepared flag, separate from a query's IsPrepared.
    bool InternalPrepared() const noexcept { return m_prepared; }
    // Entry k holds the column position (1-based) of field definition k;
    // entries beyond the last definition are 0.
    const std::vector<int>& MappedPositions() const noexcept { return m_mappedPositions; }

    // Prepares the select statement (starting the transaction when needed and
    // releasing it afterwards) and builds the field definitions.
    void PrepareStatements();
    // Client error 33 while the cursor is open; the statements keep their
    // server statements.
    void UnprepareStatements();
    // Client error 24 / 25 without a database / transaction; connects.
    void EnsureConnection();
    // Client error 25 without a transaction; starts it when inactive and
    // returns whether it did.
    bool EnsureTransaction();
    // The transaction's ApplyAutoStop.
    void ReleaseTransaction();
    // Client error 117 when a text is longer than the field's Size.
    bool GetFieldData(const TField& field, void* buffer) const override;
    // The text GetFieldData would give the field of a text column (every
    // string field's, CreateField), read in one copy: up to the first zero
    // byte, a fixed-width field padded with blanks; empty when there is no
    // record, the value is NULL or the column holds no text.
    std::string GetFieldText(const TField& field) const;

    // The row cache, for those who watch its growth: bytes of one record
    // buffer, bytes allocated, rows fetched, and how often the block grew.
    int RecordBufferSize() const noexcept { return m_recordBufferSize; }
    std::size_t CacheSize() const noexcept { return m_cache.Size(); }
    int FetchedRowCount() const noexcept { return m_fetchedRows; }
    int CacheGrowCount() const noexcept { return m_cacheGrowths; }

    // Runs body after EnsureTransaction. A transaction started here is
    // released at the end, also when body raises; then body's error is the
    // one that leaves.
    template <typename F>
    void InEnsuredTransaction(F body)
    {
        const bool started = EnsureTransaction();
        try {
            body();
        } catch (...) {
            if (started)
                IgnoreFailure("body's error is the one that leaves", [this] { ReleaseTransaction(); });
            throw;
        }
        if (started)
            ReleaseTransaction();
    }

protected:
    void InternalOpen() override;
    void InternalClose() override;
    bool IsCursorOpen() const override { return m_cursorOpen; }
    char* AllocRecordBuffer() override;
    void FreeRecordBuffer(char* buffer) noexcept override;
    TGetResult GetRecord(char* buffer, TGetMode mode) override;
    void InternalFirst() override { m_currentRow = -1; }
    void InternalSetToRecord(char* buffer) override;
    std::unique_ptr<TField> CreateField(const TFieldDef& def) override;
    // What a query does between ensuring its transaction and executing:
    // prepares its text and hands its parameters to the select statement.
    virtual void PrepareForOpen() {}

    bool m_paramCheck = true;

private:
    void BuildFieldDefs();
    void LayoutRecord();
    // Fills the record from the output area; record number -1 lays out the
    // model record instead, and a row number also stores it in the cache.
    void FetchRowToRecord(int recordNumber, char* record);
    // FetchRowToRecord of the row the select statement has just fetched, as
    // the next row of the cache; counted only once it is stored. When it
    // cannot be stored, the select's cursor is closed and the error leaves.
    void StoreFetchedRow(char* record);
    void LayoutColumns(char* record);
    void WriteCachedRow(int row, const char* record);
    void ReadCachedRow(int row, char* record);
    void EnsureCacheCapacity();
    void FreeCaches() noexcept;
    void SelectSQLChanging();
    void BeforeTransactionEnd();
    void BeforeDisconnect();

    std::unique_ptr<TIBBase> m_base;
    std::unique_ptr<TIBSQL> m_select;
    bool m_prepared = false;
    bool m_cursorOpen = false;
    int m_bufferChunks = 1000;
    bool m_cachedUpdates = false;
    std::vector<int> m_mappedPositions;
    int m_affectedRows = -1;

    // Where each column of the output area goes in a record, from the layout.
    struct TColumnSlot {
        enum TKind : std::uint8_t { Varying, Text, Other };
        const TIBXSQLVAR* column;
        TKind kind;
        std::uint16_t size;
        std::uint32_t offset;
    };

    TByteBlock m_modelRecord;       // the layout with every column NULL
    std::vector<TColumnSlot> m_columnSlots;   // one per column, in order
    int m_recordSize = 0;
    int m_recordBufferSize = 0;
    TByteBlock m_cache;             // whole chunks of BufferChunks records
    std::size_t m_chunkSize = 0;
    std::size_t m_cachePosition = 0;
    std::size_t m_cacheEnd = 0;
    int m_cacheGrowths = 0;
    int m_fetchedRows = 0;
    int m_currentRow = -1;          // -1: before the first row
};
