// The unattended refresh: ZIPDIC's rows replaced from the source file in one
// transaction, the table created or widened first as the file needs. Readers
// on other connections see the old rows until the commit, the new ones after.
#pragma once

#include "MeasurePass.h"

#include <IBDatabase.h>
#include <SysUtils.h>

#include <string>
#include <vector>

// The file cannot make a table (no record, a width of 0, a width or row the
// server cannot take) or could not be read. Nothing in the database changed.
class ESourceUnusable : public Exception {
public:
    using Exception::Exception;
};

// The file gives fewer than half as many records as ZIPDIC holds rows, and
// shrinking was not allowed. Nothing in the database changed.
class ESourceShrinks : public ESourceUnusable {
public:
    using ESourceUnusable::ESourceUnusable;
};

// ZIPDIC exists in a shape whose rows the refresh does not replace (other
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

struct TRefreshReport {
    bool TableCreated = false;                 // there was no ZIPDIC
    std::vector<std::string> WidenedColumns;   // columns made wider, in table order
    long RowsBefore = 0;
    long RowsAfter = 0;
    long Records = 0;                          // records the file gave
    long Inserted = 0;
    std::vector<TRefusedRecord> Refused;
    TReplacements Replaced;                    // characters of a UTF-8 file stored as 〓
};

enum TRefreshPhase {
    rpMeasuring,   // the measuring pass; total is 0
    rpStoring,     // the rows replaced; total is the record count
};

// Progress of a refresh, for the terminal. Called often: the view decides
// how often it shows anything.
class RefreshView {
public:
    virtual ~RefreshView() = default;
    virtual void Progress(TRefreshPhase phase, long done, long total) = 0;
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
    // The file is opened once and must be in KEN_ALL.CSV's layout throughout
    // (TSourceFile::ReadStrictly): a malformed line raises ESourceUnusable
    // naming it before anything is touched. The second pass reads the same
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

private:
    TIBDatabase& m_database;   // not owned
    bool m_allowShrink = false;
};
