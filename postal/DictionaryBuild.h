// The dictionary build: ZIPDIC made afresh from KEN_ALL.CSV in two passes,
// each statement run as one statement step in a transaction of its own.
#pragma once

#include "BuildView.h"
#include "DictionaryRecord.h"
#include "MeasurePass.h"

#include <Classes.h>
#include <IBDatabase.h>
#include <IBQuery.h>

#include <string>

// The insert pass did not read what the measuring pass read: the file was
// written between or during the passes, so the rows may not be the file's.
// The message (CP932) names the file: "「KEN_ALL.CSV」は読取中に変更されました".
class ESourceChanged : public Exception {
public:
    explicit ESourceChanged(const std::string& path);
};

// Whole-name match without regard to ASCII letter case against the user
// tables the connection lists (in a transaction of its own), left in names
// for a caller that shows them. Raises what the listing raises.
bool TableExistsIn(TIBDatabase& database, const std::string& name, TStringList& names);
bool TableExistsIn(TIBDatabase& database, const std::string& name);

// The statement lines of the build, exactly as sent (the query joins them
// with CR LF). Every single-quote byte inside a value is doubled, so that
// the stored bytes are the record's bytes whatever the file holds; an empty
// slot is NULL.
void DropLines(TStringList& lines);
void CreateLines(const TColumnWidths& widths, TStringList& lines);
void InsertLines(const TDictionaryRecord& record, TStringList& lines);

// How a build ended, when it did not raise.
enum TBuildEnd {
    beNotRun,          // not connected, or the file missing (its box shown)
    beEscaped,         // the Escape key ended the measuring pass
    beNoTable,         // the measured widths make no table: the create box, the old table kept
    beDropRefused,     // the old table could not be dropped: the drop box, the old table kept
    beCreateRefused,   // no table could be made: the create box, an old table dropped
    beFinished,        // the insert pass read the file to its end
};

// What a build did: what the caller reports, so that it need not rebuild it
// from what the view was shown.
struct TBuildOutcome {
    TBuildEnd End = beNotRun;
    std::string Message;         // the box shown (CP932, its line break kept); empty when none
    bool TableReached = false;   // the build went on to ZIPDIC: until then only the file was read
    bool Dropped = false;        // the old table was dropped
    bool Created = false;        // the new table was made
    int Read = 0;                // records of the measuring pass
    int Sent = 0;                // INSERTs sent, stored or not
    int Refused = 0;             // of those, the ones the server refused
    long Replaced = 0;           // characters of a UTF-8 file stored as 〓 (shown through the view)
};

class TDictionaryBuild {
public:
    // The components are the window's and are not owned; widths is the
    // window's column-width array, which the measuring pass fills.
    TDictionaryBuild(TIBDatabase& database, TIBTransaction& transaction, TIBQuery& query, TColumnWidths& widths);
    TDictionaryBuild(const TDictionaryBuild&) = delete;
    TDictionaryBuild& operator=(const TDictionaryBuild&) = delete;

    // Button1Click over the source file at path (SourceFilePath() in the
    // window). Nothing when not connected; the not-found box when the file
    // is missing. The old table is dropped only when the measuring pass read
    // the whole file, found a record and no width 0, and the server can make
    // a table of these widths (TableFits); when it is not, both status lines
    // are left empty (Escape aside). Raises an error the build cannot absorb
    // (an I/O error of the measuring pass; the failed rollback of a DROP or
    // CREATE step on a lost connection; an I/O or rollback error that cut
    // the insert pass short, after the finished texts with the counts
    // reached) for the general error handler; the build button is enabled
    // again on every path. When the insert pass read other bytes or another
    // number of records than the measuring pass (the file changed), the
    // finished texts are followed by ESourceChanged. A stop request
    // (StopRequest.h; only the commands make one) ends the measuring pass,
    // and the insert pass before its next record, with EStopped, raised like
    // those errors; a stop requested by the time the build goes on to the
    // table leaves the old table as it was. Outcome() tells how far a run
    // got, also when it raised.
    TBuildOutcome Run(const std::string& path, DictionaryBuildView& view);
    const TBuildOutcome& Outcome() const noexcept { return m_outcome; }

    // For the build command: both passes read the file strictly in this
    // layout (TSourceFile::ReadStrictly); a malformed line found by the
    // measuring pass raises its EMalformedText with the old table kept.
    void ReadStrictly(const TSourceLayout& layout) { m_layout = layout; }

    // The statement steps: true when the statement was committed. A failing
    // rollback after a refused statement is raised (client error 18 when the
    // start failed; the server's error on a lost connection).
    bool DropDictionaryTable();
    bool CreateDictionaryTable();
    bool StatementStep(const TStringList& lines);

private:
    void InsertPass(const std::string& path, const TReadFingerprint& measured, DictionaryBuildView& view);

    TIBDatabase& m_database;
    TIBTransaction& m_transaction;
    TIBQuery& m_query;
    TColumnWidths& m_widths;
    TStringList m_lines;   // reused for every statement
    TBuildOutcome m_outcome;
    TSourceLayout m_layout;   // the window's: any line
};
