#include "MeasurePass.h"

#include "SourceFile.h"

#include <StopRequest.h>
#include <SysUtils.h>

#include <climits>

namespace {

const std::string CheckingLengths = "\x95\xB6\x8E\x9A\x90\x94\x83\x60\x83\x46\x83\x62\x83\x4E\x92\x86\x82\xC5\x82\xB7";   // 文字数チェック中です
const std::string ReadingPrefix = "\x93\xC7\x8E\xE6\x92\x86\x81\x46";                                                // 読取中：
const std::string ReadingSuffix = "\x8D\x73\x96\xDA";                                                                // 行目
const std::string EscPressed = "[ESC]\x83\x4C\x81\x5B\x82\xF0\x89\x9F\x82\xB5\x82\xDC\x82\xB5\x82\xBD";             // [ESC]キーを押しました
const std::string Interrupted = "\x81\x83\x92\x86\x92\x66\x81\x84";                                                  // ＜中断＞

constexpr int ProgressEvery = 500;

} // namespace

void WidenColumns(TColumnWidths& widths, const std::array<std::string, rsCount>& slots)
{
    for (std::size_t k = 0; k < widths.size(); ++k) {
        const std::size_t length = slots[k + rsAdk1].size();
        if (length > static_cast<std::size_t>(widths[k]))
            widths[k] = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    }
}

namespace {

void StartPass(TColumnWidths& widths, int& readCount, BuildView& view)
{
    view.SetPhaseLine(CheckingLengths);
    view.SetProgressLine({});
    widths.fill(0);
    readCount = 0;
}

// Reads source to its end, or to the Escape key; raises what the reading raises.
bool ReadPass(TSourceFile& source, TColumnWidths& widths, int& readCount, BuildView& view)
{
    TDictionaryRecord record;
    while (!source.Eof()) {
        source.ReadLine();
        ThrowIfStopRequested();
        if (view.EscapeDown())
            return false;
        if (!source.TakeRecord(record))
            continue;
        ++readCount;
        if (readCount % ProgressEvery == 0)
            view.SetProgressLine(ReadingPrefix + IntToStr(readCount) + ReadingSuffix);
        WidenColumns(widths, record.Slots);
    }
    return true;
}

TMeasureResult Escaped(BuildView& view)
{
    view.SetPhaseLine(EscPressed);
    view.SetProgressLine(Interrupted);
    return {moEscaped, nullptr, {}, {}};
}

} // namespace

TMeasureResult MeasurePass(const std::string& path, TColumnWidths& widths, int& readCount, BuildView& view,
                           const TSourceLayout& layout)
{
    StartPass(widths, readCount, view);
    TSourceFile source;
    source.ReadStrictly(layout);
    source.Open(path);
    bool complete = false;
    try {
        complete = ReadPass(source, widths, readCount, view);
        if (complete)
            source.Close();
    } catch (const Exception&) {
        source.CloseQuietly();
        return {moReadError, std::current_exception(), source.Fingerprint(), {}};
    }
    if (!complete) {
        source.CloseQuietly();
        return Escaped(view);
    }
    return {moComplete, nullptr, source.Fingerprint(), source.Replacements()};
}
