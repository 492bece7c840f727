// The buffered result set over a select statement, as far as preparing and
// executing statements needs it: its link, its select statement, its
// prepared flag and the field definitions derived from the output area.
#pragma once

#include "DB.h"
#include "IBDatabase.h"
#include "IBSQL.h"

#include <memory>
#include <string>
#include <vector>

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
            if (started) {
                try {
                    ReleaseTransaction();
                } catch (...) {
                }
            }
            throw;
        }
        if (started)
            ReleaseTransaction();
    }

protected:
    // Rows are not read through this class yet: opening raises client error 4.
    void InternalOpen() override;
    void InternalClose() override;

    bool m_paramCheck = true;

private:
    void BuildFieldDefs();
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
};
