#include "CommandSupport.h"

#include "Connection.h"
#include "Cp932Text.h"
#include "UnitV.h"

#include <SourceFile.h>
#include <SysUtils.h>

namespace {

constexpr std::size_t ListedLines = 10;   // refused records named in the summary

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

} // namespace

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

int StoppedStatus(int signal)
{
    return esStopped + signal;
}

std::string StoppedBeforeCommit(const EStopped& stop, const TTableDescription* table)
{
    const std::string text = std::string(stop.what()) + " before the commit; nothing changed";
    return table ? text + ": " + table->Name + " keeps the rows it had" : text;
}

std::string MissingFile(const std::string& path)
{
    return path + ": no such file; nothing in the database was changed";
}

std::string BeforeAfter(const std::optional<long>& before, long after)
{
    if (!before)
        return "no table before, " + IntToStr(after) + " rows after";
    return IntToStr(*before) + " rows before, " + IntToStr(after) + " after";
}

std::string RefusedText(const std::vector<TRefusedRecord>& refused)
{
    std::vector<long> lines;
    for (const TRefusedRecord& record : refused)
        lines.push_back(record.Line);
    return IntToStr(static_cast<std::int64_t>(refused.size())) + " refused" + LinesText(lines);
}

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

std::string ReplacedText(long count)
{
    if (count == 0)
        return {};
    return "; " + IntToStr(count) + (count == 1 ? " character" : " characters") + " stored as " +
           Utf8FromCp932(ReplacementMark);
}
