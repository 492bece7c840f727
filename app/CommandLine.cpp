#include "CommandLine.h"

#include "Commands.h"
#include "CommandSupport.h"
#include "Connection.h"
#include "Settings.h"
#include "TerminalView.h"
#include "UnitV.h"

#include <StopRequest.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>

namespace {

const char* const Version = "kx27 1.0";

// The settings file moves no window here.
class TNoWindow final : public WindowPosition {
public:
    int Left() const override { return 0; }
    int Top() const override { return 0; }
    void SetLeft(int) override {}
    void SetTop(int) override {}
};

// Reads the settings exactly as the window does; a command never writes them.
void LoadCommandSettings(const TOptions& options)
{
    const std::string exe = ExecutablePath();
    ExeFolder = ExecutableFolderOf(exe);
    TNoWindow noWindow;
    LoadSettings(options.Settings.empty() ? SettingsPathOf(exe) : options.Settings, noWindow);
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
    "KEN_ALL.CSV beside the executable. ZIPDIC always holds Shift-JIS (code page 932). A file of the business\n"
    "offices (JIGYOSYO.CSV in jigyosyo.zip, 13 columns; jaddYYMM.zip, jdelYYMM.zip) goes to the table JIGYOSYO\n"
    "instead: refresh and apply tell the table by the file's columns and never touch the other one.\n"
    "The database is the one the settings file names, as for the window; ISC_USER and ISC_PASSWORD, when both\n"
    "are set, replace the built-in login. --settings and --quiet go before or after the command.\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  wrong usage (arguments, only one of ISC_USER and ISC_PASSWORD set, or an apply's two files of\n"
    "     different tables); nothing was changed\n"
    "  2  FILE is missing, cannot be read, is not in one table's layout throughout (the first bad line is\n"
    "     named), changed while it was read, or cannot make a table; for refresh also a file of fewer than\n"
    "     half as many records as its table has rows (see --allow-shrink); nothing in the database was changed\n"
    "     (but a build that cannot read the file while it stores says what it left)\n"
    "  3  a database error: cannot connect, no table or one of another shape, the server refused or the\n"
    "     connection was lost; the message says what changed (for refresh and apply: nothing)\n"
    "  4  standard output could not be written; the work itself was done (the message says what it did)\n"
    "  130  stopped by SIGINT, 143 by SIGTERM: a refresh or apply stopped before its commit changed nothing,\n"
    "     one that reached its commit is complete; a build says what it left; the message says which";

} // namespace
int RunCommandLine(int argc, char** argv)
{
    TOptions options;
    CLI::App app{"Keeps the postal-code tables ZIPDIC and JIGYOSYO current without the window.", "kx27"};
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
        "refresh", "Replace the rows of FILE's table (ZIPDIC, or JIGYOSYO for the offices' file) in one transaction; "
                   "readers see the old rows until it commits");
    refresh->add_option("FILE", options.File, "The postal-code file")->type_name("");
    refresh->add_flag("--allow-shrink", options.AllowShrink,
                      "Replace the rows also with a file of fewer than half as many records as the table has rows "
                      "(refused otherwise: a cut download can end on a line boundary)");
    CLI::App* build = app.add_subcommand(
        "build", "What the window's button does: drop ZIPDIC, create it afresh and insert row by row");
    build->add_option("FILE", options.File, "The postal-code file")->type_name("");
    CLI::App* apply = app.add_subcommand(
        "apply", "Apply a month's differences in one transaction: delete a row for each record of the delete file, "
                 "then insert the records of the add file");
    apply->add_option("--del", options.DeleteFile, "The month's delete file (del_YYMM.zip or jdelYYMM.zip, or its CSV)")
        ->type_name("FILE");
    apply->add_option("--add", options.AddFile, "The month's add file (add_YYMM.zip or jaddYYMM.zip, or its CSV)")
        ->type_name("FILE");
    apply->add_flag("--dry-run", options.DryRun, "Report what would be done and change nothing");
    CLI::App* search = app.add_subcommand("search", "List the rows whose postal code begins with PREFIX");
    search->add_option("PREFIX", options.Prefix, "The first digits of a postal code")->required()->type_name("");
    search->add_flag("--offices", options.Offices, "Search the business offices' table JIGYOSYO instead of ZIPDIC");

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
            status = RunRefresh(options, terminal, completed);
        else if (build->parsed())
            status = RunBuild(options, terminal, completed);
        else if (apply->parsed())
            status = RunApply(options, terminal, completed);
        else
            status = RunSearch(options, terminal);
    } catch (const std::exception& e) {
        terminal.Diagnostic(OneLineUtf8(e));
        status = esDatabase;
    }
    return EndOfRun(status, terminal, completed);
}
