// The unattended refresh: a table's rows replaced from its source file in one
// transaction, the table created or widened first as the file needs. Readers
// on other connections see the old rows until the commit, the new ones after.
// The file's layout tells the table: KEN_ALL.CSV's fills ZIPDIC, the
// business offices' JIGYOSYO.CSV fills JIGYOSYO; the other is not touched.
#pragma once

#include "DictionaryTable.h"
#include "SourceEncoding.h"

#include <IBDatabase.h>
#include <SysUtils.h>

#include <string>
#include <vector>

// The file gives fewer than half as many records as its table holds rows, and
// shrinking was not allowed. Nothing in the database changed.
class ESourceShrinks : public ESourceUnusable {
public:
    using ESourceUnusable::ESourceUnusable;
};

struct TRefreshReport {
    const TTableDescription* Table = nullptr;  // the file's table, once the file is read
    bool TableCreated = false;                 // there was no such table
    std::vector<std::string> WidenedColumns;   // columns made wider, in table order
    long RowsBefore = 0;
    long RowsAfter = 0;
    long Records = 0;                          // records the file gave
    long Inserted = 0;
    std::vector<TRefusedRecord> Refused;
    TReplacements Replaced;                    // characters of a UTF-8 file stored as 〓
};

class TDictionaryRefresh {
public:
    // database is connected and not owned; the refresh makes its own
    // transactions and statements on it.
    explicit TDictionaryRefresh(TIBDatabase& database);
    TDictionaryRefresh(const TDictionaryRefresh&) = delete;
    TDictionaryRefresh& operator=(const TDictionaryRefresh&) = delete;

    // Refreshes from the file at path (a CSV, or a zip holding one). Raises
    // ESourceUnusable or ETableShape with nothing changed, and the layer's
    // errors (EIBError: lost connection, a refresh already running, the
    // server refusing) after rolling the rows back. The server applies a
    // CREATE or ALTER at its commit, so a table created or widened for the
    // file is committed before the rows' transaction starts: when the rows
    // then roll back they are exactly the old ones, in a table that keeps
    // its new widths (a table created for them stays, empty). A read error
    // of the second pass raises ESourceUnusable after that rollback.
    //
    // The file is opened once and must be in one table's layout throughout
    // (TSourceFile::ReadStrictlyAsTable): a malformed line, or a line of the
    // other layout, raises ESourceUnusable naming it before anything is
    // touched. The second pass reads the same
    // open file again and must read exactly what the first one measured
    // (bytes, checksum, records); a file written meanwhile raises
    // ESourceUnusable ("... changed while it was read") after the rollback.
    // A file of fewer than half as many records as ZIPDIC holds rows raises
    // ESourceShrinks after the rollback, unless shrinking is allowed. A stop
    // request (StopRequest.h), polled per line and per block, raises
    // EStopped after the same rollback; none is committed after a stop.
    TRefreshReport Run(const std::string& path, RefreshView& view);

    // A cut download can end on a line boundary and pass for a whole file;
    // only a file that is meant to be much smaller may replace the rows.
    void AllowShrink(bool on) noexcept { m_allowShrink = on; }

    // The table of the file the last Run read, also when it raised; null
    // until a Run has read a record.
    const TTableDescription* Table() const noexcept { return m_table; }

private:
    TIBDatabase& m_database;   // not owned
    bool m_allowShrink = false;
    const TTableDescription* m_table = nullptr;
};
