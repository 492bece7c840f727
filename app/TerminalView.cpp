#include "TerminalView.h"

#include "Connection.h"
#include "Cp932Text.h"

#include <Classes.h>
#include <DictionaryBuild.h>
#include <SysUtils.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// A terminal is redrawn often enough to look alive and seldom enough that
// writing costs nothing beside the work; a log gets a line now and then.
constexpr auto RedrawEvery = std::chrono::milliseconds(200);
constexpr auto LogEvery = std::chrono::seconds(5);

std::string OneDecimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

} // namespace

std::string DurationText(double seconds)
{
    if (seconds < 120)
        return OneDecimal(seconds) + " s";
    const long whole = static_cast<long>(seconds + 0.5);
    char text[48];
    std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    return text;
}

TTerminal::TTerminal(bool quiet) : m_quiet(quiet), m_redraw(::isatty(STDERR_FILENO) == 1), m_last(Clock::now())
{
}

TTerminal::~TTerminal()
{
    EndProgress();
}

void TTerminal::Result(const std::string& utf8)
{
    if (m_resultsError != 0)
        return;
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fputc('\n', stdout);
    NoteResultsError();
}

bool TTerminal::FlushResults()
{
    if (m_resultsError == 0)
        std::fflush(stdout);
    NoteResultsError();
    return m_resultsError == 0;
}

std::string TTerminal::ResultsError() const
{
    return std::strerror(m_resultsError);
}

void TTerminal::NoteResultsError()
{
    if (m_resultsError == 0 && std::ferror(stdout))
        m_resultsError = errno != 0 ? errno : EIO;
}

void TTerminal::Diagnostic(const std::string& utf8)
{
    EndProgress();
    if (m_resultsError == 0) {
        std::fflush(stdout);   // a result before it is read before it
        NoteResultsError();
    }
    std::fprintf(stderr, "kx27: %s\n", utf8.c_str());
    std::fflush(stderr);
}

bool TTerminal::ProgressDue(bool now) const
{
    if (m_quiet)
        return false;
    const Clock::duration since = Clock::now() - m_last;
    return m_redraw ? now || since >= RedrawEvery : since >= LogEvery;
}

void TTerminal::Progress(const std::string& utf8, bool now)
{
    if (!ProgressDue(now))
        return;
    if (m_redraw) {
        // Back to the line's start, the text, the rest of the old one erased.
        std::fprintf(stderr, "\r%s\x1B[K", utf8.c_str());
        m_lineShown = true;
    } else {
        std::fprintf(stderr, "kx27: %s\n", utf8.c_str());
    }
    std::fflush(stderr);
    m_last = Clock::now();
}

void TTerminal::EndProgress()
{
    if (!m_lineShown)
        return;
    std::fputs("\r\x1B[K", stderr);
    std::fflush(stderr);
    m_lineShown = false;
}

void TTerminalBuildView::SetPhaseLine(const std::string& text)
{
    m_phase = text;
    Show(true);
}

void TTerminalBuildView::SetProgressLine(const std::string& text)
{
    m_progress = text;
    Show(false);
}

bool TTerminalBuildView::TableExists(const std::string& name)
{
    return TableExistsIn(m_database, name);
}

void TTerminalBuildView::CharactersReplaced(const std::string& path, const TReplacements& replaced)
{
    TellReplacements(m_terminal, path, replaced);
}

void TellReplacements(TTerminal& terminal, const std::string& path, const TReplacements& replaced)
{
    for (const std::string& line : ReplacementLines(path, replaced))
        terminal.Diagnostic(line);
}

void TTerminalBuildView::Show(bool now)
{
    if (m_phase.empty() && m_progress.empty())
        return;
    m_terminal.Progress(Utf8FromCp932(m_progress.empty() ? m_phase : m_phase + "  " + m_progress), now);
}

void TTerminalRefreshView::Progress(TRefreshPhase phase, long done, long total)
{
    const bool newPhase = phase != m_phase;
    if (newPhase) {
        m_phase = phase;
        m_phaseStart = Clock::now();
    }
    if (!m_terminal.ProgressDue(newPhase))
        return;
    if (phase == rpMeasuring) {
        m_terminal.Progress("measuring: " + IntToStr(done) + " records read", newPhase);
        return;
    }
    std::string text = "storing: " + IntToStr(done) + " of " + IntToStr(total) + " records";
    const double seconds = std::chrono::duration<double>(Clock::now() - m_phaseStart).count();
    if (done > 0 && seconds > 0.5) {
        const double rate = done / seconds;
        text += ", " + IntToStr(static_cast<long>(rate)) + "/s";
        if (total >= done)
            text += ", " + DurationText((total - done) / rate) + " left";
    }
    m_terminal.Progress(text, newPhase);
}
