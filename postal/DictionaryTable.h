// The tables as the unattended commands (refresh, apply) find and change
// them: a table's shape read from the catalogue, its columns made wide
// enough, the transaction that reserves it, and the pass that inserts a
// file's rows in blocks. Shared so that both commands behave alike for
// both tables.
#pragma once

#include "SourceFile.h"
#include "TableDescription.h"

#include <IB.h>
#include <IBDatabase.h>
#include <IBSQL.h>
#include <SysUtils.h>

#include <memory>
#include <string>
#include <vector>

// The file cannot make a table (no record, a width of 0, a width or row the
// server cannot take) or could not be read. Nothing in the database changed.
class ESourceUnusable : public Exception {
public:
    using Exception::Exception;
};

// The table exists in a shape whose rows the commands do not replace (other
// columns, other types). Nothing in the database changed.
class ETableShape : public Exception {
public:
    using Exception::Exception;
};

// A record the server refused; the others went in.
struct TRefusedRecord {
    long Line = 0;          // line number in the file, from 1
    std::string Message;    // the server's own text
};

enum TRefreshPhase {
    rpMeasuring,   // the file read; total is 0
    rpStoring,     // the rows replaced; total is the record count
};

// Progress of a refresh or an apply, for the terminal. Called often: the
// view decides how often it shows anything.
class RefreshView {
public:
    virtual ~RefreshView() = default;
    virtual void Progress(TRefreshPhase phase, long done, long total) = 0;
};

// SQL codes of the errors that concern a record's values (a value too long
// for its parameter, -303, or for its column, -802; not convertible; a NOT
// NULL, unique, foreign key or check constraint): the server refuses that
// record, undoes its statement, and the transaction goes on.
bool RefusesTheRecord(const EIBError& e);

// A transaction on the database with these TPB lines, rolled back by a
// disconnect; its end is the caller's.
std::unique_ptr<TIBTransaction> NewTransaction(TIBDatabase& database, const std::vector<std::string>& params);
// A statement whose text goes to the server as it stands; positional: its
// "?" parameters are written by position.
std::unique_ptr<TIBSQL> NewStatement(TIBDatabase& database, TIBTransaction& transaction, const std::string& text,
                                     bool positional);
// Also when the connection is gone: the server then drops the work itself.
void RollbackQuietly(TIBTransaction& transaction) noexcept;

// Rolls the transaction back quietly (RollbackQuietly) when it leaves scope,
// unless Commit or Release came first: whatever ends the work early, an
// error or a stop, leaves nothing of it, and the rollback is made while the
// exception unwinds, before any caller reports it. Not owned.
class TTransactionGuard {
public:
    explicit TTransactionGuard(TIBTransaction& transaction) noexcept : m_transaction(&transaction) {}
    ~TTransactionGuard()
    {
        if (m_transaction)
            RollbackQuietly(*m_transaction);
    }
    TTransactionGuard(const TTransactionGuard&) = delete;
    TTransactionGuard& operator=(const TTransactionGuard&) = delete;

    // Commits as CommitUnlessStopped does; the guard is released only when
    // the commit was made, so a refused commit or a stop is rolled back.
    void Commit();
    // Rolls back now, quietly, for work that is not to be kept.
    void Rollback() noexcept;
    // The transaction's end is the caller's from here on.
    void Release() noexcept { m_transaction = nullptr; }

private:
    TIBTransaction* m_transaction;   // not owned; null once released
};
// Commits, unless a stop has been requested: then EStopped, the transaction
// left for the caller to roll back. SIGTERM and SIGINT are held from the
// check to the commit's end, so that no commit is made after one arrived:
// one that arrives during the commit is taken after it, and a stop seen
// then means the commit was made.
void CommitUnlessStopped(TIBTransaction& transaction);

struct TShape {
    bool Exists = false;
    TTableWidths Widths;   // one per column of the description
};

// The table as the catalogue describes it, read in a transaction of its
// own. ETableShape unless it is a plain table of the description's columns,
// in order, of their kinds (VARCHAR in character set NONE, SMALLINT), not
// computed and free to hold NULL.
TShape ReadShape(TIBDatabase& database, const TTableDescription& table);

// Starts a transaction of ReservingParams(table); while another holds the
// table, an EIBInterBaseError that says so, at once.
void StartReserving(TIBTransaction& transaction, const TTableDescription& table);

// What ApplyWidths did.
struct TWidening {
    bool Created = false;               // there was no table
    std::vector<std::string> Widened;   // columns made wider, in table order
};

// Creates or widens the table to the widths and commits: the server applies
// DDL at the commit, so the rows' transaction can only use it after that.
// Fails first, changing nothing, while another connection holds the table.
TWidening ApplyWidths(TIBDatabase& database, const TTableDescription& table, const TShape& shape,
                      const TTableWidths& widths);

// The row's values as raw bytes into positional parameters from first on;
// an empty value is NULL. The server converts a SMALLINT's digits.
void Bind(TIBXSQLDA& input, int first, const TTableRow& row);

// What an insert pass stored.
struct TInsertCounts {
    long Inserted = 0;
    std::vector<TRefusedRecord> Refused;   // by line
};

// The insert pass: the file's rows sent block by block in the rows'
// transaction. A block the server refuses for a record's values is undone by
// the server and sent again row by row, so that only the refused records
// stay out. Any other error, a read error included (EInOutError), leaves for
// the caller to roll back, as does EStopped: a stop request is polled before
// each block and each row sent alone. Progress is rpStoring, done of total.
class TInsertPass {
public:
    // Nothing is owned; all must outlive the pass. rowsPerBlock caps the
    // rows of a block below the most the server takes (RowsPerBlock), for a
    // few records, where preparing a block costs more than sending its rows;
    // 0 leaves the most.
    TInsertPass(TIBDatabase& database, TIBTransaction& transaction, const TTableDescription& table,
                const TTableWidths& widths, long total, RefreshView& view, TInsertCounts& counts,
                int rowsPerBlock = 0);
    TInsertPass(const TInsertPass&) = delete;
    TInsertPass& operator=(const TInsertPass&) = delete;

    // Reads an open source (ReadStrictlyAsTable, of this table) from where
    // it stands to its end; it stays open.
    void Run(TSourceFile& source);
    // The same pass over rows already in memory, rows[i] from line lines[i]
    // of its file (the lines the counts name).
    void Run(const std::vector<TTableRow>& rows, const std::vector<long>& lines);

private:
    TIBSQL& Block(int rows);
    // count rows, rows[i] from line lines[i].
    void SendBlock(const TTableRow* rows, const long* lines, int count);
    void SendRowByRow(const TTableRow* rows, const long* lines, int count);

    TIBDatabase& m_database;         // not owned
    TIBTransaction& m_transaction;   // not owned
    const TTableDescription& m_table;
    const TTableWidths m_widths;
    const long m_total;
    RefreshView& m_view;
    TInsertCounts& m_counts;
    const int m_rowsPerBlock;
    std::vector<TTableRow> m_rows;   // the block being filled from a source, reused
    std::vector<long> m_lines;
    long m_done = 0;
    std::unique_ptr<TIBSQL> m_fullBlock;
    std::unique_ptr<TIBSQL> m_lastBlock;
    std::unique_ptr<TIBSQL> m_row;
};
