// kx27 refresh: the rows of the file's table (ZIPDIC, or JIGYOSYO for the
// business offices' file) replaced from it in one transaction, and what the
// refresh did said in one line.
#include "Commands.h"

#include "Connection.h"

#include <Refresh.h>
#include <SysUtils.h>

int RunRefresh(const TOptions& options, TTerminal& terminal, std::string& completed)
{
    const std::string path = SourcePath(options);
    int status = esDone;
    const std::unique_ptr<TComponents> components = ConnectForFile(path, terminal, status);
    if (!components)
        return status;
    const Clock::time_point start = Clock::now();
    TTerminalRefreshView view(terminal);
    TRefreshReport report;
    TDictionaryRefresh refresh(components->IBDatabase1);
    try {
        refresh.AllowShrink(options.AllowShrink);
        report = refresh.Run(path, view);
    } catch (const EStopped& e) {
        terminal.Diagnostic(StoppedBeforeCommit(e, refresh.Table()));
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
        const std::string table = refresh.Table() ? refresh.Table()->Name : "the table";
        terminal.Diagnostic("the refresh failed and " + table + " keeps the rows it had: " + MessageNaming(path, e));
        return esDatabase;
    }
    terminal.EndProgress();
    const std::string table = report.Table->Name;
    completed = table + " was refreshed from " + path + ": " + IntToStr(report.RowsAfter) + " rows";
    for (const TRefusedRecord& record : report.Refused)
        terminal.Diagnostic(path + " line " + IntToStr(record.Line) + ": " + OneLineUtf8(record.Message) + "; skipped");
    TellReplacements(terminal, path, report.Replaced);
    if (terminal.Quiet())
        return esDone;
    std::string summary = "refreshed " + table + " from " + path + ": " + IntToStr(report.Records) + " records; "
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
