// kx27 build: what the window's button does, and what ZIPDIC holds after
// it, also when it did not finish.
#include "Commands.h"

#include "Connection.h"

#include <DictionaryBuild.h>
#include <SourceFile.h>
#include <SysUtils.h>
#include <TableDescription.h>

namespace {

// SELECT COUNT(*) through the window's query; the transaction ends after it.
long CountRows(TComponents& c)
{
    c.IBQuery1.SetActive(false);
    c.IBTransaction1.SetActive(false);
    c.IBQuery1.SetParamCheck(false);
    TStringList& sql = c.IBQuery1.SQL();
    sql.Clear();
    sql.Add(CountText(ZipdicTable));
    c.IBQuery1.Open();
    const long rows = std::stol(c.IBQuery1.Fields()[0].AsString());
    c.IBQuery1.SetActive(false);
    c.IBTransaction1.SetActive(false);
    return rows;
}

// ZIPDIC's row count, or nothing when there is no ZIPDIC.
std::optional<long> RowsNow(TComponents& c)
{
    if (!TableExistsIn(c.IBDatabase1, ZipdicTable.Name))
        return std::nullopt;
    return CountRows(c);
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

} // namespace

int RunBuild(const TOptions& options, TTerminal& terminal, std::string& completed)
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
