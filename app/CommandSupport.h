// What kx27's commands share: their options, the connection they make as the
// window makes it, and the pieces of their endings and summaries.
#pragma once

#include "CommandLine.h"
#include "TerminalView.h"

#include <IBDatabase.h>
#include <IBQuery.h>
#include <Refresh.h>
#include <SourceEncoding.h>
#include <StopRequest.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

// The options of every command, as parsed.
struct TOptions {
    std::string Settings;   // empty: kx27.dat beside the executable
    bool Quiet = false;
    std::string File;       // empty: KEN_ALL.CSV beside the executable
    std::string Prefix;     // as typed: UTF-8
    std::string DeleteFile; // apply: empty when not given
    std::string AddFile;
    bool DryRun = false;
    bool AllowShrink = false;   // refresh: a file of far fewer records may replace the rows
    bool Offices = false;       // search: JIGYOSYO rather than ZIPDIC
};

// The window's three components, wired as the window wires them. Creating
// them loads the client library.
struct TComponents {
    TIBDatabase IBDatabase1{"IBDatabase1"};
    TIBTransaction IBTransaction1{"IBTransaction1"};
    TIBQuery IBQuery1{"IBQuery1"};

    TComponents()
    {
        IBDatabase1.SetLoginPrompt(false);
        IBDatabase1.SetDefaultTransaction(&IBTransaction1);
        IBDatabase1.SetIdleTimer(0);
        IBDatabase1.SetSQLDialect(3);
        IBTransaction1.SetDefaultDatabase(&IBDatabase1);
        IBTransaction1.SetAutoStopAction(saNone);
        IBQuery1.SetDatabase(&IBDatabase1);
        IBQuery1.SetTransaction(&IBTransaction1);
        IBQuery1.SetBufferChunks(1000);
        IBQuery1.SetCachedUpdates(false);
    }
    ~TComponents()
    {
        try {
            IBQuery1.SetActive(false);
            IBTransaction1.SetActive(false);
            IBDatabase1.SetConnected(false);
        } catch (const std::exception&) {
            IBDatabase1.CloseForced();
        }
    }
    TComponents(const TComponents&) = delete;
    TComponents& operator=(const TComponents&) = delete;
};

double SecondsSince(Clock::time_point start);

// The message in UTF-8, the path in it kept as it is: its bytes came from
// the command line or the file system, not from CP932 text.
std::string MessageNaming(const std::string& path, const std::exception& error);

// FILE as given, or KEN_ALL.CSV beside the executable.
std::string SourcePath(const TOptions& options);

// The connection the window makes when it is shown, with the create-database
// attempt first when asked; SIGTERM and SIGINT are ours again after it. Null,
// with the reason written, when there is none.
std::unique_ptr<TComponents> Connect(TTerminal& terminal, bool createFirst);

// How refresh and build begin: the file must be there, then the connection
// is made with the create attempt. Null, with the reason written and the
// exit status in status, when either fails.
std::unique_ptr<TComponents> ConnectForFile(const std::string& path, TTerminal& terminal, int& status);

// The status of a run a signal stopped: esStopped plus its number.
int StoppedStatus(int signal);

// What a refresh or an apply stopped before its commit says; table is null
// when the stop came before its file told the table.
std::string StoppedBeforeCommit(const EStopped& stop, const TTableDescription* table);

// "FILE: no such file; nothing in the database was changed".
std::string MissingFile(const std::string& path);

// "100 rows before, 120 after", or "no table before, 120 rows after".
std::string BeforeAfter(const std::optional<long>& before, long after);

// "2 refused (lines 4, 4711)", at most ten line numbers named.
std::string RefusedText(const std::vector<TRefusedRecord>& refused);

// " (lines 4, 4711)", at most ten line numbers named; "" for none.
std::string LinesText(const std::vector<long>& lines);

// "; 2 characters stored as 〓", or nothing when none was.
std::string ReplacedText(long count);
