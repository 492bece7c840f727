#include "CommandLine.h"

#include "Connection.h"
#include "Cp932Text.h"
#include "Settings.h"
#include "TerminalView.h"
#include "UnitV.h"

#include <DictionaryBuild.h>
#include <MonthlyApply.h>
#include <Refresh.h>
#include <SourceFile.h>
#include <TestSearch.h>

#include <IB.h>
#include <IBDatabase.h>
#include <IBQuery.h>
#include <StopRequest.h>
#include <SysUtils.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const Version = "kx27 1.0";
constexpr std::size_t ListedLines = 10;   // refused records named in the summary

using Clock = std::chrono::steady_clock;

struct TOptions {
    std::string Settings;   // empty: kx27.dat beside the executable
    bool Quiet = false;
    std::string File;       // empty: KEN_ALL.CSV beside the executable
    std::string Prefix;     // as typed: UTF-8
    std::string DeleteFile; // apply: empty when not given
    std::string AddFile;
    bool DryRun = false;
    bool AllowShrink = false;   // refresh: a file of far fewer records may replace the rows
};

// The settings file moves no window here.
class TNoWindow final : public WindowPosition {
public:
    int Left() const override { return 0; }
    int Top() const override { return 0; }
    void SetLeft(int) override {}
    void SetTop(int) override {}
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

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Quoted(const std::string& utf8)
{
    return "\"" + utf8 + "\"";
}

// The message in UTF-8, the path in it kept as it is: its bytes came from
// the command line or the file system, not from CP932 text.
std::string MessageNaming(const std::string& path, const std::exception& error)
{
    const std::string message = error.what();
    std::string text;
    std::size_t from = 0;
    for (std::size_t at; !path.empty() && (at = message.find(path, from)) != std::string::npos; from = at + path.size())
        text += OneLineUtf8(message.substr(from, at - from)) + path;
    return text + OneLineUtf8(message.substr(from));
}

std::string SourcePath(const TOptions& options)
{
    return options.File.empty() ? SourceFilePath() : options.File;
}

// Reads the settings exactly as the window does; a command never writes them.
void LoadCommandSettings(const TOptions& options)
{
    const std::string exe = ExecutablePath();
    ExeFolder = ExecutableFolderOf(exe);
    TNoWindow noWindow;
    LoadSettings(options.Settings.empty() ? SettingsPathOf(exe) : options.Settings, noWindow);
}

// The connection the window makes when it is shown: with the create-database
// attempt first when asked, so that a fresh set-up works unattended too.
// Null, with the reason written, when there is none.
std::unique_ptr<TComponents> Attach(TTerminal& terminal, bool createFirst)
{
    if (DataFolder.empty() || DatabaseFileName.empty()) {
        terminal.Diagnostic("the settings name no database (the data folder or the database file name is empty); "
                            "nothing was changed");
        return nullptr;
    }
    std::unique_ptr<TComponents> components;
    try {
        components = std::make_unique<TComponents>();
    } catch (const std::exception& e) {
        terminal.Diagnostic("the Firebird client library cannot be used: " + OneLineUtf8(e) + "; nothing was changed");
        return nullptr;
    }
    TIBDatabase& database = components->IBDatabase1;
    const TLogin login = LoginFromEnvironment();
    if (createFirst)
        CreateDatabaseAttempt(database, login);
    try {
        PrepareConnect(database, login);
        database.SetConnected(true);
    } catch (const std::exception& e) {
        std::vector<std::string> lines = ConnectFailureLines(login, e.what());
        lines.front() += "; nothing was changed";
        for (const std::string& line : lines)
            terminal.Diagnostic(line);
        return nullptr;
    }
    return components;
}

// Attach with SIGTERM and SIGINT held back. The client library's first
// attach puts a handler of its own over ours, and a signal that handler takes
// shuts every attachment of the process down ("connection shutdown"), even
// after ours is back. Held back, a signal waits for ours, put back before it
// is taken; and the threads the library starts meanwhile (the embedded
// engine's) keep the two held back for good, so that this thread takes them.
std::unique_ptr<TComponents> Connect(TTerminal& terminal, bool createFirst)
{
    const TStopSignalsHeld held;
    std::unique_ptr<TComponents> components = Attach(terminal, createFirst);
    InstallStopSignals();
    return components;
}

// SELECT COUNT(*) through the window's query; the transaction ends after it.
long CountRows(TComponents& c)
{
    c.IBQuery1.SetActive(false);
    c.IBTransaction1.SetActive(false);
    c.IBQuery1.SetParamCheck(false);
    TStringList& sql = c.IBQuery1.SQL();
    sql.Clear();
    sql.Add("SELECT COUNT(*) FROM ZIPDIC");
    c.IBQuery1.Open();
    const long rows = std::stol(c.IBQuery1.Fields()[0].AsString());
    c.IBQuery1.SetActive(false);
    c.IBTransaction1.SetActive(false);
    return rows;
}

// ZIPDIC's row count, or nothing when there is no ZIPDIC.
std::optional<long> RowsNow(TComponents& c)
{
    if (!TableExistsIn(c.IBDatabase1, "ZIPDIC"))
        return std::nullopt;
    return CountRows(c);
}

// "100 rows before, 120 after", or "no table before, 120 rows after".
std::string BeforeAfter(const std::optional<long>& before, long after)
{
    if (!before)
        return "no table before, " + IntToStr(after) + " rows after";
    return IntToStr(*before) + " rows before, " + IntToStr(after) + " after";
}

int StoppedStatus(int signal)
{
    return esStopped + signal;
}

// What a refresh or an apply stopped before its commit says.
std::string StoppedBeforeCommit(const EStopped& stop)
{
    return std::string(stop.what()) + " before the commit; nothing changed: ZIPDIC keeps the rows it had";
}

std::string MissingFile(const std::string& path)
{
    return path + ": no such file; nothing in the database was changed";
}

// "2 refused (lines 4, 4711)", at most ListedLines line numbers named.
std::string RefusedText(const std::vector<TRefusedRecord>& refused)
{
    std::string text = IntToStr(static_cast<std::int64_t>(refused.size())) + " refused";
    if (refused.empty())
        return text;
    text += refused.size() == 1 ? " (line " : " (lines ";
    for (std::size_t i = 0; i < refused.size() && i < ListedLines; ++i)
        text += (i ? ", " : "") + IntToStr(refused[i].Line);
    if (refused.size() > ListedLines)
        text += " and " + IntToStr(static_cast<std::int64_t>(refused.size() - ListedLines)) + " more";
    return text + ")";
}

// "; 2 characters stored as 〓", or nothing when none was.
std::string ReplacedText(long count)
{
    if (count == 0)
        return {};
    return "; " + IntToStr(count) + (count == 1 ? " character" : " characters") + " stored as " +
           Utf8FromCp932(ReplacementMark);
}

void TellReplacements(TTerminal& terminal, const std::string& path, const TReplacements& replaced)
{
    for (const std::string& line : ReplacementLines(path, replaced))
        terminal.Diagnostic(line);
}

// How refresh and build begin: the file must be there, then the connection
// is made with the create attempt. Null, with the reason written and the
// exit status in status, when either fails.
std::unique_ptr<TComponents> ConnectForFile(const std::string& path, TTerminal& terminal, int& status)
{
    if (!FileExists(path)) {
        terminal.Diagnostic(MissingFile(path));
        status = esSourceFile;
        return nullptr;
    }
    std::unique_ptr<TComponents> components = Connect(terminal, true);
    if (!components)
        status = esDatabase;
    return components;
}

// completed: what the run did, for the end of the run to repeat on
// standard error when the summary is lost or a signal came after it.
int Refresh(const TOptions& options, TTerminal& terminal, std::string& completed)
{
    const std::string path = SourcePath(options);
    int status = esDone;
    const std::unique_ptr<TComponents> components = ConnectForFile(path, terminal, status);
    if (!components)
        return status;
    const Clock::time_point start = Clock::now();
    TTerminalRefreshView view(terminal);
    TRefreshReport report;
    try {
        TDictionaryRefresh refresh(components->IBDatabase1);
        refresh.AllowShrink(options.AllowShrink);
        report = refresh.Run(path, view);
    } catch (const EStopped& e) {
        terminal.Diagnostic(StoppedBeforeCommit(e));
        return StoppedStatus(e.Signal());
    } catch (const ESourceShrinks& e) {
        terminal.Diagnostic(MessageNaming(path, e) + "; if the file is meant to be that small: kx27 refresh "
                            "--allow-shrink");
        return esSourceFile;
    } catch (const ESourceUnusable& e) {
        terminal.Diagnostic(MessageNaming(path, e));   // it names the file and says that nothing changed
        return esSourceFile;
    } catch (const ETableShape& e) {
        terminal.Diagnostic(MessageNaming(path, e));
        return esDatabase;
    } catch (const std::exception& e) {
        terminal.Diagnostic("the refresh failed and ZIPDIC keeps the rows it had: " + MessageNaming(path, e));
        return esDatabase;
    }
    terminal.EndProgress();
    completed = "ZIPDIC was refreshed from " + path + ": " + IntToStr(report.RowsAfter) + " rows";
    for (const TRefusedRecord& record : report.Refused)
        terminal.Diagnostic(path + " line " + IntToStr(record.Line) + ": " + OneLineUtf8(record.Message) + "; skipped");
    TellReplacements(terminal, path, report.Replaced);
    if (terminal.Quiet())
        return esDone;
    std::string summary = "refreshed ZIPDIC from " + path + ": " + IntToStr(report.Records) + " records; "
        + BeforeAfter(report.TableCreated ? std::nullopt : std::optional<long>(report.RowsBefore), report.RowsAfter);
    if (report.TableCreated)
        summary += "; table created";
    if (!report.WidenedColumns.empty()) {
        summary += "; widened";
        for (std::size_t i = 0; i < report.WidenedColumns.size(); ++i)
            summary += (i ? ", " : " ") + report.WidenedColumns[i];
    }
    terminal.Result(summary + "; " + RefusedText(report.Refused) + ReplacedText(report.Replaced.Count) + "; " +
                    DurationText(SecondsSince(start)));
    return esDone;
}

// What ZIPDIC holds after a build that did not finish, in the user's words.
// refused: the build ended on its drop or create message, so a table that is
// there is the old one.
std::string BuildLeft(const std::optional<long>& before, TComponents& components, bool refused, long records)
{
    std::optional<long> after;
    try {
        after = RowsNow(components);
    } catch (const std::exception&) {
        return "ZIPDIC may be gone or hold only part of the records";
    }
    if (!after)
        return before ? "the old ZIPDIC was dropped and no new one was made" : "there was no ZIPDIC and none was made";
    if (refused)
        return "ZIPDIC was not changed";
    return "ZIPDIC was made afresh and holds " + IntToStr(*after) + " rows of the " + IntToStr(records) + " records read";
}

int Build(const TOptions& options, TTerminal& terminal, std::string& completed)
{
    const std::string path = SourcePath(options);
    int status = esDone;
    const std::unique_ptr<TComponents> components = ConnectForFile(path, terminal, status);
    if (!components)
        return status;
    TComponents& c = *components;
    const Clock::time_point start = Clock::now();
    std::optional<long> before;
    try {
        before = RowsNow(c);
    } catch (const std::exception& e) {
        terminal.Diagnostic("cannot read ZIPDIC: " + OneLineUtf8(e) + "; nothing was changed");
        return esDatabase;
    }

    TColumnWidths widths{};
    TDictionaryBuild build(c.IBDatabase1, c.IBTransaction1, c.IBQuery1, widths);
    build.ReadStrictly(KenAllLayout);
    TTerminalBuildView view(terminal, c.IBDatabase1);
    std::exception_ptr error;
    try {
        build.Run(path, view);
    } catch (...) {
        error = std::current_exception();
    }
    terminal.EndProgress();
    const TBuildOutcome& outcome = build.Outcome();

    std::string reason;
    bool fileError = false;
    if (!outcome.Message.empty()) {
        reason = OneLineUtf8(outcome.Message);
    } else if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const EStopped& e) {
            // Every row stored so far was committed on its own: say what is there.
            const std::string left = outcome.TableReached ? BuildLeft(before, c, false, outcome.Read)
                                                          : "ZIPDIC was not changed";
            terminal.Diagnostic(std::string(e.what()) + "; " + left);
            return StoppedStatus(e.Signal());
        } catch (const EInOutError& e) {
            reason = "cannot be read: " + OneLineUtf8(e);
            fileError = true;
        } catch (const EMalformedText& e) {
            // Found by the measuring pass: it names the file and the line.
            terminal.Diagnostic(MessageNaming(path, e) + "; ZIPDIC was not changed");
            return esSourceFile;
        } catch (const ESourceChanged&) {
            reason = "changed while it was read";
            fileError = true;
        } catch (const std::exception& e) {
            reason = OneLineUtf8(e);
        }
    }
    // Until the build asks for the table, the moment before its DROP, only the
    // file was read: a message or an error there is the file's.
    if (!outcome.TableReached && !reason.empty()) {
        terminal.Diagnostic(path + ": " + reason + "; ZIPDIC was not changed");
        return esSourceFile;
    }
    if (!reason.empty()) {
        const std::string left = BuildLeft(before, c, !outcome.Message.empty(), outcome.Read);
        terminal.Diagnostic((fileError ? path + ": " : std::string("the build failed: ")) + reason + "; " + left);
        return fileError ? esSourceFile : esDatabase;
    }

    std::optional<long> after;
    try {
        after = RowsNow(c);
    } catch (const std::exception& e) {
        terminal.Diagnostic("cannot count the rows stored: " + OneLineUtf8(e));
        return esDatabase;
    }
    const long stored = after.value_or(0);
    const long refused = outcome.Refused;
    completed = "ZIPDIC was built from " + path + ": " + IntToStr(stored) + " rows";
    if (refused > 0)
        terminal.Diagnostic(IntToStr(refused) + " of the records were refused by the server and skipped");
    if (!terminal.Quiet())
        terminal.Result("built ZIPDIC from " + path + ": " + IntToStr(outcome.Read) + " records; "
                        + BeforeAfter(before, stored) + "; " + IntToStr(refused) + " refused"
                        + ReplacedText(outcome.Replaced) + "; " + DurationText(SecondsSince(start)));
    return esDone;
}

int Search(const TOptions& options, TTerminal& terminal)
{
    std::string typed;
    if (!TryCp932FromUtf8(options.Prefix, typed)) {
        terminal.Diagnostic("PREFIX " + Quoted(options.Prefix) + " has characters that Shift-JIS cannot hold");
        return esUsage;
    }
    if (Trim(typed).empty()) {
        terminal.Diagnostic("PREFIX is blank: give the first digits of a postal code");
        return esUsage;
    }
    const std::unique_ptr<TComponents> components = Connect(terminal, false);
    if (!components)
        return esDatabase;
    TComponents& c = *components;
    const Clock::time_point start = Clock::now();
    long rows = 0;
    try {
        if (!TableExistsIn(c.IBDatabase1, "ZIPDIC")) {
            terminal.Diagnostic("the database has no table ZIPDIC to search; make it with kx27 refresh");
            return esDatabase;
        }
        c.IBQuery1.SetActive(false);
        c.IBTransaction1.SetActive(false);
        c.IBQuery1.SetParamCheck(true);
        TStringList& sql = c.IBQuery1.SQL();
        sql.Clear();
        sql.Add(SearchText(typed));
        c.IBQuery1.Open();
        c.IBQuery1.First();
        // Once standard output fails the rows have nowhere to go: the end of
        // the run says so.
        while (!c.IBQuery1.Eof() && !terminal.ResultsFailed()) {
            ThrowIfStopRequested();
            terminal.Result(Utf8FromCp932(ResultLine(c.IBQuery1)));
            ++rows;
            c.IBQuery1.Next();
        }
        c.IBQuery1.SetActive(false);
    } catch (const EStopped& e) {
        terminal.Diagnostic(std::string(e.what()) + " after " + IntToStr(rows) + (rows == 1 ? " row" : " rows"));
        return StoppedStatus(e.Signal());
    } catch (const std::exception& e) {
        terminal.Diagnostic("the search failed after " + IntToStr(rows) + " rows: " + OneLineUtf8(e));
        return esDatabase;
    }
    // Standard output holds only the rows, for the programs it is piped to;
    // rows that did not reach it are said by the end of the run instead.
    if (!terminal.Quiet() && terminal.FlushResults())
        terminal.Diagnostic(IntToStr(rows) + (rows == 1 ? " row" : " rows") + " for " + Quoted(options.Prefix)
                            + " in " + DurationText(SecondsSince(start)));
    return esDone;
}

// " (lines 4, 4711)", at most ListedLines line numbers named; "" for none.
std::string LinesText(const std::vector<long>& lines)
{
    if (lines.empty())
        return {};
    std::string text = lines.size() == 1 ? " (line " : " (lines ";
    for (std::size_t i = 0; i < lines.size() && i < ListedLines; ++i)
        text += (i ? ", " : "") + IntToStr(lines[i]);
    if (lines.size() > ListedLines)
        text += " and " + IntToStr(static_cast<std::int64_t>(lines.size() - ListedLines)) + " more";
    return text + ")";
}

// "1 row", "2 rows".
std::string Rows(long n)
{
    return IntToStr(n) + (n == 1 ? " row" : " rows");
}

// "del_2612.zip and add_2612.zip", or the one given.
std::string PairText(const TApplyFiles& files)
{
    if (files.DeletePath.empty() || files.AddPath.empty())
        return files.DeletePath + files.AddPath;
    return files.DeletePath + " and " + files.AddPath;
}

std::string ApplySummary(const TApplyFiles& files, const TApplyReport& report)
{
    const std::string would = report.DryRun ? "would be " : "";
    std::string summary = report.DryRun ? "dry run, nothing changed: " : "";
    if (report.AlreadyApplied)
        return summary + "ZIPDIC already holds " + PairText(files) + " (no delete record matches a row and every add "
               "record is there): nothing to do; " + Rows(report.RowsBefore);
    summary += (report.DryRun ? "would apply " : "applied ") + PairText(files) + " to ZIPDIC: ";
    if (!files.DeletePath.empty()) {
        summary += Rows(report.Deleted) + " " + would + "deleted, " +
                   IntToStr(static_cast<std::int64_t>(report.Unmatched.size())) + " delete records matching none" +
                   LinesText(report.Unmatched) + "; ";
    }
    if (!files.AddPath.empty()) {
        std::vector<long> refused;
        for (const TRefusedRecord& record : report.Refused)
            refused.push_back(record.Line);
        summary += Rows(report.Inserted) + " " + would + "inserted, " +
                   IntToStr(static_cast<std::int64_t>(refused.size())) + " refused" + LinesText(refused) + "; ";
    }
    if (!report.WidenedColumns.empty()) {
        summary += report.DryRun ? "would widen" : "widened";
        for (std::size_t i = 0; i < report.WidenedColumns.size(); ++i)
            summary += (i ? ", " : " ") + report.WidenedColumns[i];
        summary += "; ";
    }
    return summary + BeforeAfter(report.RowsBefore, report.RowsAfter);
}

int Apply(const TOptions& options, TTerminal& terminal, std::string& completed)
{
    const TApplyFiles files{options.DeleteFile, options.AddFile};
    for (const std::string& path : {files.DeletePath, files.AddPath})
        if (!path.empty() && !FileExists(path)) {
            terminal.Diagnostic(MissingFile(path));
            return esSourceFile;
        }
    const std::unique_ptr<TComponents> components = Connect(terminal, false);
    if (!components)
        return esDatabase;
    const Clock::time_point start = Clock::now();
    TTerminalRefreshView view(terminal);
    TApplyReport report;
    try {
        report = TMonthlyApply(components->IBDatabase1).Run(files, options.DryRun, view);
    } catch (const EStopped& e) {
        terminal.Diagnostic(StoppedBeforeCommit(e));
        return StoppedStatus(e.Signal());
    } catch (const ESourceUnusable& e) {
        terminal.Diagnostic(OneLineUtf8(e) + "; ZIPDIC keeps the rows it had");
        return esSourceFile;
    } catch (const ETableMissing& e) {
        terminal.Diagnostic(OneLineUtf8(e) + "; nothing was changed");
        return esDatabase;
    } catch (const ETableShape& e) {
        terminal.Diagnostic(OneLineUtf8(e));   // says that nothing changed
        return esDatabase;
    } catch (const std::exception& e) {
        terminal.Diagnostic("the apply failed: " + OneLineUtf8(e) + "; ZIPDIC keeps the rows it had");
        return esDatabase;
    }
    terminal.EndProgress();
    if (report.DryRun)
        completed = "the dry run changed nothing";
    else if (report.AlreadyApplied)
        completed = "ZIPDIC already held " + PairText(files) + "; nothing was changed";
    else
        completed = "ZIPDIC was updated from " + PairText(files) + ": " + IntToStr(report.RowsAfter) + " rows";
    if (!report.AlreadyApplied) {
        for (long line : report.Unmatched)
            terminal.Diagnostic(files.DeletePath + " line " + IntToStr(line) + ": matches no row of ZIPDIC; nothing " +
                                "deleted for it");
        for (const TRefusedRecord& record : report.Refused)
            terminal.Diagnostic(files.AddPath + " line " + IntToStr(record.Line) + ": " +
                                OneLineUtf8(record.Message) + "; skipped");
    }
    TellReplacements(terminal, files.DeletePath, report.DeleteReplaced);
    TellReplacements(terminal, files.AddPath, report.AddReplaced);
    if (!terminal.Quiet())
        terminal.Result(ApplySummary(files, report) + ReplacedText(report.DeleteReplaced.Count + report.AddReplaced.Count) +
                        "; " + DurationText(SecondsSince(start)));
    return esDone;
}

// The end of every command, its work over and its connection closed:
// results that did not reach standard output, and a stop that came after the
// work was complete, are said on standard error and decide the status of a
// run that did its work. completed repeats what the run did.
int EndOfRun(int status, TTerminal& terminal, const std::string& completed)
{
    const std::string done = completed.empty() ? std::string() : "; " + completed;
    if (!terminal.FlushResults()) {
        terminal.Diagnostic("standard output could not be written (" + terminal.ResultsError() + ")" + done);
        if (status == esDone)
            status = esOutput;
    }
    const int signal = StopSignal();
    if (signal != 0 && (status == esDone || status == esOutput)) {
        terminal.Diagnostic(std::string(EStopped(signal).what()) + " after the work was complete" + done);
        status = StoppedStatus(signal);
    }
    return status;
}

const char* const Footer =
    "FILE is a KEN_ALL.CSV (Shift-JIS, or UTF-8 as in utf_ken_all.zip) or a zip holding one CSV; by default\n"
    "KEN_ALL.CSV beside the executable. ZIPDIC always holds Shift-JIS (code page 932).\n"
    "The database is the one the settings file names, as for the window; ISC_USER and ISC_PASSWORD, when both\n"
    "are set, replace the built-in login. --settings and --quiet go before or after the command.\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  wrong usage (arguments, or only one of ISC_USER and ISC_PASSWORD set); nothing was tried\n"
    "  2  FILE is missing, cannot be read, is not in KEN_ALL.CSV's layout (the first bad line is named),\n"
    "     changed while it was read, or cannot make a table; for refresh also a file of fewer than half as\n"
    "     many records as ZIPDIC has rows (see --allow-shrink); nothing in the database was changed\n"
    "     (but a build that cannot read the file while it stores says what it left)\n"
    "  3  a database error: cannot connect, ZIPDIC of another shape, the server refused or the connection\n"
    "     was lost; the message says what changed (for refresh and apply: nothing)\n"
    "  4  standard output could not be written; the work itself was done (the message says what it did)\n"
    "  130  stopped by SIGINT, 143 by SIGTERM: a refresh or apply stopped before its commit changed nothing,\n"
    "     one that reached its commit is complete; a build says what it left; the message says which";

} // namespace

int RunCommandLine(int argc, char** argv)
{
    TOptions options;
    CLI::App app{"Keeps the postal-code table ZIPDIC current without the window.", "kx27"};
    app.set_version_flag("--version", std::string(Version), "Print the version and exit");
    app.add_option("--settings", options.Settings, "The settings file to read (never written); default kx27.dat "
                                                   "beside the executable")
        ->type_name("PATH")
        ->check(CLI::Validator(CLI::ExistingFile).description(""));
    app.add_flag("-q,--quiet", options.Quiet, "No progress and no summary: only errors, warnings and search rows");
    app.footer(Footer);
    app.require_subcommand(1);
    app.fallthrough();

    CLI::App* refresh = app.add_subcommand(
        "refresh", "Replace ZIPDIC's rows from FILE in one transaction; readers see the old rows until it commits");
    refresh->add_option("FILE", options.File, "The postal-code file")->type_name("");
    refresh->add_flag("--allow-shrink", options.AllowShrink,
                      "Replace the rows also with a file of fewer than half as many records as ZIPDIC has rows "
                      "(refused otherwise: a cut download can end on a line boundary)");
    CLI::App* build = app.add_subcommand(
        "build", "What the window's button does: drop ZIPDIC, create it afresh and insert row by row");
    build->add_option("FILE", options.File, "The postal-code file")->type_name("");
    CLI::App* apply = app.add_subcommand(
        "apply", "Apply a month's differences in one transaction: delete a row for each record of the delete file, "
                 "then insert the records of the add file");
    apply->add_option("--del", options.DeleteFile, "The month's delete file (del_YYMM.zip, or its CSV)")
        ->type_name("FILE");
    apply->add_option("--add", options.AddFile, "The month's add file (add_YYMM.zip, or its CSV)")->type_name("FILE");
    apply->add_flag("--dry-run", options.DryRun, "Report what would be done and change nothing");
    CLI::App* search = app.add_subcommand("search", "List the rows whose postal code begins with PREFIX");
    search->add_option("PREFIX", options.Prefix, "The first digits of a postal code")->required()->type_name("");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e) == 0 ? esDone : esUsage;
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {   // --help or --version
            WriteErrorLine("standard output could not be written");
            return esOutput;
        }
        return status;
    }

    TTerminal terminal(options.Quiet);
    if (apply->parsed() && options.DeleteFile.empty() && options.AddFile.empty()) {
        terminal.Diagnostic("apply needs --del FILE, --add FILE or both; see kx27 apply --help");
        return esUsage;
    }
    bool halfSet = false;
    LoginFromEnvironment(&halfSet);
    if (halfSet) {
        terminal.Diagnostic("ISC_USER and ISC_PASSWORD go together: set both, or neither for the built-in login");
        return esUsage;
    }
    // Before the client library's first attach, which then passes the
    // signals on to ours (Connect puts ours back after it).
    InstallStopSignals();
    // SIGPIPE keeps its default action, which the client library leaves
    // alone: a reader that goes away (kx27 search 06 | head -1) ends the
    // program as it ends grep or cat there, quietly, status 141 to a shell
    // that asks (pipefail), rather than with a complaint about a pipe the
    // user closed on purpose. Standard output is written only after the work
    // (the search's rows aside), so a refresh is never cut short by it; one
    // whose progress on standard error goes to a closed pipe ends as if
    // killed, and the server rolls it back.

    std::string completed;
    int status = esDone;
    try {
        LoadCommandSettings(options);
        if (refresh->parsed())
            status = Refresh(options, terminal, completed);
        else if (build->parsed())
            status = Build(options, terminal, completed);
        else if (apply->parsed())
            status = Apply(options, terminal, completed);
        else
            status = Search(options, terminal);
    } catch (const std::exception& e) {
        terminal.Diagnostic(OneLineUtf8(e));
        status = esDatabase;
    }
    return EndOfRun(status, terminal, completed);
}
