// kx27 search: the rows whose postal code begins with the prefix, on
// standard output as the window lists them: ZIPDIC's, or with --offices
// JIGYOSYO's.
#include "Commands.h"

#include "Connection.h"
#include "Cp932Text.h"

#include <DictionaryBuild.h>
#include <SysUtils.h>
#include <TestSearch.h>

namespace {

std::string Quoted(const std::string& utf8)
{
    return "\"" + utf8 + "\"";
}

} // namespace

int RunSearch(const TOptions& options, TTerminal& terminal)
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
    const TTableDescription& table = options.Offices ? JigyosyoTable : ZipdicTable;
    long rows = 0;
    try {
        if (!TableExistsIn(c.IBDatabase1, table.Name)) {
            terminal.Diagnostic(std::string("the database has no table ") + table.Name + " to search; " +
                                table.MakeItHint);
            return esDatabase;
        }
        c.IBQuery1.SetActive(false);
        c.IBTransaction1.SetActive(false);
        c.IBQuery1.SetParamCheck(true);
        TStringList& sql = c.IBQuery1.SQL();
        sql.Clear();
        sql.Add(SearchText(table, typed));
        c.IBQuery1.Open();
        c.IBQuery1.First();
        // Once standard output fails the rows have nowhere to go: the end of
        // the run says so.
        while (!c.IBQuery1.Eof() && !terminal.ResultsFailed()) {
            ThrowIfStopRequested();
            terminal.Result(Utf8FromCp932(ResultLine(c.IBQuery1, table)));
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
