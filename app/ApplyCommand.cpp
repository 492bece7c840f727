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
    try {
        TMonthlyApply::RequireOneTable(files);
    } catch (const ELayoutsDiffer& e) {
        terminal.Diagnostic(OneLineUtf8(e) + "; nothing was changed");
        return esUsage;
    }
    const std::unique_ptr<TComponents> components = Connect(terminal, false);
    if (!components)
        return esDatabase;
    const Clock::time_point start = Clock::now();
    TTerminalRefreshView view(terminal);
    TApplyReport report;
    TMonthlyApply apply(components->IBDatabase1);
    // Before the files are read it is not known which table they are for.
    const auto keeps = [&apply] {
        return std::string("; ") + (apply.Table() ? apply.Table()->Name : "the table") + " keeps the rows it had";
    };
    try {
        report = apply.Run(files, options.DryRun, view);
    } catch (const EStopped& e) {
        terminal.Diagnostic(StoppedBeforeCommit(e, apply.Table()));
        return StoppedStatus(e.Signal());
    } catch (const ELayoutsDiffer& e) {
        terminal.Diagnostic(OneLineUtf8(e) + "; nothing was changed");
        return esUsage;
    } catch (const ESourceUnusable& e) {
        terminal.Diagnostic(OneLineUtf8(e) + keeps());
        return esSourceFile;
    } catch (const ETableMissing& e) {
        terminal.Diagnostic(OneLineUtf8(e) + "; nothing was changed");
        return esDatabase;
    } catch (const ETableShape& e) {
        terminal.Diagnostic(OneLineUtf8(e));   // says that nothing changed
        return esDatabase;
    } catch (const std::exception& e) {
        terminal.Diagnostic("the apply failed: " + OneLineUtf8(e) + keeps());
        return esDatabase;
    }
    terminal.EndProgress();
    const std::string table = report.Table->Name;
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
