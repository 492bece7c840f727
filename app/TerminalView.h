// The terminal as the commands' view: results on standard output, progress
// and diagnostics on standard error, all in UTF-8.
#pragma once

#include <BuildView.h>
#include <IBDatabase.h>
#include <Refresh.h>

#include <chrono>
#include <string>

class TTerminal {
public:
    // Progress redraws one line in place when standard error is a terminal;
    // otherwise it is a plain line at most every few seconds; with quiet,
    // nothing.
    explicit TTerminal(bool quiet);
    ~TTerminal();   // leaves no progress line standing
    TTerminal(const TTerminal&) = delete;
    TTerminal& operator=(const TTerminal&) = delete;

    bool Quiet() const noexcept { return m_quiet; }
    // A line on standard output; the line end is added. Once a write of
    // standard output has failed, nothing more is written to it.
    void Result(const std::string& utf8);
    // Whether a write of standard output has failed so far. Lines still in
    // the buffer are only known to have gone out after FlushResults.
    bool ResultsFailed() const noexcept { return m_resultsError != 0; }
    // Flushes standard output; false when anything written to it was lost.
    bool FlushResults();
    // The system's text for the failed write's error ("No space left on
    // device"), in UTF-8.
    std::string ResultsError() const;
    // "kx27: " and the line on standard error, also with quiet: a warning
    // or an error is never success chatter.
    void Diagnostic(const std::string& utf8);
    // Whether Progress would show anything now: callers that are told of
    // every record build no text for nothing.
    bool ProgressDue(bool now = false) const;
    // The state of the work, shown as the mode allows. A new phase (now)
    // is drawn at once on a terminal.
    void Progress(const std::string& utf8, bool now = false);
    // Clears the progress line from a terminal.
    void EndProgress();

private:
    using Clock = std::chrono::steady_clock;
    void NoteResultsError();

    bool m_quiet;
    bool m_redraw;              // standard error is a terminal
    bool m_lineShown = false;   // a progress line stands on the terminal
    Clock::time_point m_last;   // when progress was last written
    int m_resultsError = 0;     // errno of the first failed write of standard output
};

// The window's build on the terminal: its status texts become the progress;
// its message box the command reports from the build's outcome. Nobody is
// at the keys.
class TTerminalBuildView final : public DictionaryBuildView {
public:
    TTerminalBuildView(TTerminal& terminal, TIBDatabase& database) : m_terminal(terminal), m_database(database) {}

    void SetPhaseLine(const std::string& text) override;
    void SetProgressLine(const std::string& text) override;
    void ShowMessage(const std::string&) override {}
    bool EscapeDown() override { return false; }
    void EnableBuildButton(bool) override {}
    bool TableExists(const std::string& name) override;
    // Each character on standard error, also with --quiet.
    void CharactersReplaced(const std::string& path, const TReplacements& replaced) override;

private:
    void Show(bool now);

    TTerminal& m_terminal;
    TIBDatabase& m_database;   // not owned
    std::string m_phase;
    std::string m_progress;
};

// The refresh's counts, with the rate and the time left while it stores.
class TTerminalRefreshView final : public RefreshView {
public:
    explicit TTerminalRefreshView(TTerminal& terminal) : m_terminal(terminal) {}
    void Progress(TRefreshPhase phase, long done, long total) override;

private:
    using Clock = std::chrono::steady_clock;
    TTerminal& m_terminal;
    int m_phase = -1;
    Clock::time_point m_phaseStart;
};

// "12.3 s", or "2 min 05 s" from two minutes on.
std::string DurationText(double seconds);

// The characters of the file at path stored as 〓, a line each on standard
// error, also with --quiet.
void TellReplacements(TTerminal& terminal, const std::string& path, const TReplacements& replaced);
