// Japan Post's monthly differences applied to their table (ZIPDIC for the
// addresses' add_/del_ files, JIGYOSYO for the business offices' jadd/jdel
// files, told by their layout): the rows of the month's delete file taken
// out and the records of its add file put in, all in one transaction, so
// that readers see last month's table until the commit and this month's
// after it.
#pragma once

#include "Refresh.h"

#include <IBDatabase.h>
#include <SysUtils.h>

#include <string>
#include <vector>

// There is no table to apply differences to. Nothing in the database changed.
class ETableMissing : public Exception {
public:
    using Exception::Exception;
};

// The delete file and the add file are of different tables' layouts: not the
// two files of one month. Nothing in the database was read or changed.
class ELayoutsDiffer : public Exception {
public:
    using Exception::Exception;
};

struct TApplyFiles {
    std::string DeletePath;   // empty: no delete file
    std::string AddPath;      // empty: no add file
};

// A file's rows as read, each with its line.
struct TFileRows {
    std::vector<TTableRow> Rows;
    std::vector<long> Lines;
};

// A month's files as read, whole: what an apply stores comes from these
// bytes, not from the files again.
struct TMonthRows {
    TMonthRows() = default;   // not an aggregate: {del, add} are files
    TApplyFiles Files;
    const TTableDescription* Table = nullptr;   // the table both files' layout tells
    TFileRows Deletes;
    TFileRows Adds;
    TReplacements DeleteReplaced;               // characters of a UTF-8 file read as 〓
    TReplacements AddReplaced;
};

// Reads both files of a month, needing no database, so that what is wrong
// with them is told before one is reached: a file that cannot be read, is
// not in one table's layout throughout (a malformed line,
// TSourceFile::ReadStrictlyAsTable) or gives no record raises
// ESourceUnusable; files of the two tables' layouts raise ELayoutsDiffer.
// Progress is rpMeasuring, the records read so far. A stop request, polled
// per line, raises EStopped.
TMonthRows ReadMonth(const TApplyFiles& files, RefreshView& view);

struct TApplyReport {
    const TTableDescription* Table = nullptr;  // the files' table
    bool DryRun = false;                       // everything below is what would have been done
    bool AlreadyApplied = false;               // no delete record matched and every add record was there
    std::vector<std::string> WidenedColumns;   // in table order
    long RowsBefore = 0;
    long RowsAfter = 0;
    long DeleteRecords = 0;                    // records the delete file gave
    long Deleted = 0;
    std::vector<long> Unmatched;               // lines of delete records that matched no row
    long AddRecords = 0;                       // records the add file gave
    long Inserted = 0;
    std::vector<TRefusedRecord> Refused;
    TReplacements DeleteReplaced;              // the month's, as read
    TReplacements AddReplaced;
};

class TMonthlyApply {
public:
    // database is connected and not owned; the apply makes its own
    // transactions and statements on it.
    explicit TMonthlyApply(TIBDatabase& database);
    TMonthlyApply(const TMonthlyApply&) = delete;
    TMonthlyApply& operator=(const TMonthlyApply&) = delete;

    // Applies a month read by ReadMonth. An add file that would need a
    // column wider than the server takes raises ESourceUnusable with nothing
    // changed; ETableMissing and ETableShape also leave everything as it was.
    //
    // Columns an added record does not fit are widened first, in a
    // transaction of their own: the server applies a column's new type only
    // when that transaction commits, and the rows' transaction needs it.
    // Then one transaction, which reserves the table as the refresh does (so
    // that a refresh or another apply fails at once), reads the table once,
    // finding a row equal to each delete record (in every stored column, an
    // empty value equal to NULL; one row per record), deletes those rows by their
    // row keys and inserts every add record through the refresh's insert
    // pass; a record the server refuses is skipped and reported. Any other
    // failure in it (a lost connection, the server refusing the transaction)
    // rolls it back and raises: the rows are exactly those of before, and
    // only a widening, which no reader of the rows can tell, stays.
    //
    // When no delete record matches a row and every add record is already in
    // the table (counted with its repeats), the pair was applied before: the
    // same read of the table tells, nothing is deleted or inserted and the
    // report says so. A dry run rolls back and widens nothing; what it
    // reports is what the run would have done. A stop request
    // (StopRequest.h), polled per line read and per block or row sent,
    // raises EStopped after the rollback; none is committed after a stop.
    TApplyReport Run(const TMonthRows& month, bool dryRun, RefreshView& view);
    // ReadMonth, then Run.
    TApplyReport Run(const TApplyFiles& files, bool dryRun, RefreshView& view)
    {
        return Run(ReadMonth(files, view), dryRun, view);
    }

private:
    TIBDatabase& m_database;   // not owned
};
