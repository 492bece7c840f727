// ZIPDIC as the unattended commands (refresh, apply) find and change it: its
// shape read from the catalogue, its columns made wide enough, the
// transaction that reserves it, and the pass that inserts a file's records
// in blocks. Shared so that both commands behave alike.
#pragma once

#include "DictionaryRecord.h"
#include "Refresh.h"
#include "RefreshStatements.h"
#include "SourceFile.h"

#include <IB.h>
#include <IBDatabase.h>
#include <IBSQL.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

// The column names in table order, ZIP first: the record's slot order.
extern const char* const kColumnNames[rsCount];

// The TPB of a rows' transaction: ZIPDIC reserved so that no other
// transaction writes it while readers go on reading, at once or not at all.
extern const std::initializer_list<const char*> kReservingParams;

// SQL codes of the errors that concern a record's values (a value too long
// for its parameter, -303, or for its column, -802; not convertible; a NOT
// NULL, unique, foreign key or check constraint): the server refuses that
// record, undoes its statement, and the transaction goes on.
bool RefusesTheRecord(const EIBError& e);

// A transaction on the database with these TPB lines, rolled back by a
// disconnect; its end is the caller's.
std::unique_ptr<TIBTransaction> NewTransaction(TIBDatabase& database, std::initializer_list<const char*> params);
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
    TTableWidths Widths{};
};

// ZIPDIC as the catalogue describes it, read in a transaction of its own.
// ETableShape unless it is a plain table of the window's seven columns, in
// order, VARCHAR in character set NONE, not computed and free to hold NULL.
TShape ReadShape(TIBDatabase& database);

// Starts a transaction of kReservingParams; while another holds ZIPDIC, an
// EIBInterBaseError that says so, at once.
void StartReserving(TIBTransaction& transaction);

// Creates or widens ZIPDIC to the widths and commits, noting in the report
// what it did: the server applies DDL at the commit, so the rows'
// transaction can only use it after that. Fails first, changing nothing,
// while another connection holds the table.
void ApplyWidths(TIBDatabase& database, const TShape& shape, const TTableWidths& widths, TRefreshReport& report);

// The record's slots as raw bytes into seven positional parameters from
// first on; an empty slot is NULL.
void Bind(TIBXSQLDA& input, int first, const TDictionaryRecord& record);

// The insert pass: the file's records sent block by block in the rows'
// transaction. A block the server refuses for a record's values is undone by
// the server and sent again row by row, so that only the refused records
// stay out (in the report's Refused, by line; the others in its Inserted).
// Any other error, a read error included (EInOutError), leaves for the
// caller to roll back, as does EStopped: a stop request is polled before
// each block and each row sent alone. Progress is rpStoring, done of total.
class TInsertPass {
public:
    // Nothing is owned; all must outlive the pass. rowsPerBlock caps the
    // rows of a block below the most the server takes (RowsPerBlock), for a
    // few records, where preparing a block costs more than sending its rows;
    // 0 leaves the most.
    TInsertPass(TIBDatabase& database, TIBTransaction& transaction, const TTableWidths& widths, long total,
                RefreshView& view, TRefreshReport& report, int rowsPerBlock = 0);
    TInsertPass(const TInsertPass&) = delete;
    TInsertPass& operator=(const TInsertPass&) = delete;

    // Reads an open source from where it stands to its end; it stays open.
    void Run(TSourceFile& source);
    // The same pass over records already in memory, records[i] from line
    // lines[i] of its file (the lines the report names).
    void Run(const std::vector<TDictionaryRecord>& records, const std::vector<long>& lines);

private:
    TIBSQL& Block(int rows);
    void SendBlock(int rows);
    void SendRowByRow(int rows);

    TIBDatabase& m_database;         // not owned
    TIBTransaction& m_transaction;   // not owned
    const TTableWidths m_widths;
    const long m_total;
    RefreshView& m_view;
    TRefreshReport& m_report;
    const int m_rowsPerBlock;
    std::vector<TDictionaryRecord> m_records;   // the block being filled, reused
    std::vector<long> m_lines;
    long m_done = 0;
    std::unique_ptr<TIBSQL> m_fullBlock;
    std::unique_ptr<TIBSQL> m_lastBlock;
    std::unique_ptr<TIBSQL> m_row;
};

// True when every value of the record fits its column at these widths.
bool RecordFits(const TDictionaryRecord& record, const TTableWidths& widths);

// SELECT COUNT(*) FROM ZIPDIC in the transaction.
long CountDictionaryRows(TIBDatabase& database, TIBTransaction& transaction);
