// kx27 apply: a month's delete and add files applied in one transaction,
// and what they changed said in one line.
#include "Commands.h"

#include "Connection.h"

#include <MonthlyApply.h>
#include <SysUtils.h>

namespace {

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
    const std::string table = report.Table->Name;
    const std::string would = report.DryRun ? "would be " : "";
    std::string summary = report.DryRun ? "dry run, nothing changed: " : "";
    if (report.AlreadyApplied)
        return summary + table + " already holds " + PairText(files) + " (no delete record matches a row and every add "
               "record is there): nothing to do; " + Rows(report.RowsBefore);
    summary += (report.DryRun ? "would apply " : "applied ") + PairText(files) + " to " + table + ": ";
    if (!files.DeletePath.empty()) {
        summary += Rows(report.Deleted) + " " + would + "deleted, " +
                   IntToStr(static_cast<std::int64_t>(report.Unmatched.size())) + " delete records matching none" +
                   LinesText(report.Unmatched) + "; ";
    }
    if (!files.AddPath.empty()) {
        summary += Rows(report.Inserted) + " " + would + "inserted, " + RefusedText(report.Refused) + "; ";
    }
    if (!report.WidenedColumns.empty()) {
        summary += report.DryRun ? "would widen" : "widened";
        for (std::size_t i = 0; i < report.WidenedColumns.size(); ++i)
            summary += (i ? ", " : " ") + report.WidenedColumns[i];
        summary += "; ";
    }
    return summary + BeforeAfter(report.RowsBefore, report.RowsAfter);
}

} // namespace

int RunApply(const TOptions& options, TTerminal& terminal, std::string& completed)
{
    const TApplyFiles files{options.DeleteFile, options.AddFile};
    for (const std::string& path : {files.DeletePath, files.AddPath})
        if (!path.empty() && !FileExists(path)) {
            terminal.Diagnostic(MissingFile(path));
            return esSourceFile;
        }
    const Clock::time_point start = Clock::now();
    TTerminalRefreshView view(terminal);
    // The files first: what is wrong with them is told before the database
    // is reached, and what is stored is what was read here.
    TMonthRows month;
    try {
        month = ReadMonth(files, view);
    } catch (const EStopped& e) {
        terminal.Diagnostic(StoppedBeforeCommit(e, nullptr));
        return StoppedStatus(e.Signal());
    } catch (const ELayoutsDiffer& e) {
        terminal.Diagnostic(OneLineUtf8(e) + "; nothing was changed");
        return esUsage;
    } catch (const ESourceUnusable& e) {
        terminal.Diagnostic(OneLineUtf8(e) + "; nothing was changed");
        return esSourceFile;
    }
    const std::unique_ptr<TComponents> components = Connect(terminal, false);
    if (!components)
        return esDatabase;
    const std::string table = month.Table->Name;
    const std::string keeps = "; " + table + " keeps the rows it had";
    TApplyReport report;
    try {
        report = TMonthlyApply(components->IBDatabase1).Run(month, options.DryRun, view);
    } catch (const EStopped& e) {
        terminal.Diagnostic(StoppedBeforeCommit(e, month.Table));
        return StoppedStatus(e.Signal());
    } catch (const ESourceUnusable& e) {
        terminal.Diagnostic(OneLineUtf8(e) + keeps);
        return esSourceFile;
    } catch (const ETableMissing& e) {
        terminal.Diagnostic(OneLineUtf8(e) + "; nothing was changed");
        return esDatabase;
    } catch (const ETableShape& e) {
        terminal.Diagnostic(OneLineUtf8(e));   // says that nothing changed
        return esDatabase;
    } catch (const std::exception& e) {
        terminal.Diagnostic("the apply failed: " + OneLineUtf8(e) + keeps);
        return esDatabase;
    }
    terminal.EndProgress();
    if (report.DryRun)
        completed = "the dry run changed nothing";
    else if (report.AlreadyApplied)
        completed = table + " already held " + PairText(files) + "; nothing was changed";
    else
        completed = table + " was updated from " + PairText(files) + ": " + IntToStr(report.RowsAfter) + " rows";
    if (!report.AlreadyApplied) {
        for (long line : report.Unmatched)
            terminal.Diagnostic(files.DeletePath + " line " + IntToStr(line) + ": matches no row of " + table + "; nothing " +
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
