// The measuring pass of the dictionary build: the longest byte length of each
// address column over all records of the source file.
#pragma once

#include "BuildView.h"
#include "DictionaryRecord.h"
#include "SourceEncoding.h"
#include "SourceFile.h"

#include <array>
#include <exception>
#include <string>

// ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 in bytes.
using TColumnWidths = std::array<int, 6>;

// Widens each width to the byte length of the record's value in that column.
void WidenColumns(TColumnWidths& widths, const std::array<std::string, rsCount>& slots);

enum TMeasureOutcome {
    moComplete,    // the whole file was read
    moEscaped,     // stopped by the Escape key; the build must end here
    moReadError,   // a read failed mid-way; widths and count are those reached
};

// How the pass ended, and with moReadError the error that ended it.
struct TMeasureResult {
    TMeasureOutcome Outcome = moComplete;
    std::exception_ptr ReadError;
    TReadFingerprint Read;   // what the pass read (moComplete: the whole file)
    // The characters of a UTF-8 file that the records hold as 〓. This pass
    // is the one that tells them: the second reads the same file.
    TReplacements Replaced;
};

// Resets widths and readCount to 0, shows "文字数チェック中です" with an empty
// progress line, then reads the file at path to its end. readCount counts the
// lines that give a record; every 500th record shows "読取中：<n>行目".
// The Escape key is polled once per line, after the line is read; when it is
// down the file is closed, the lines show "[ESC]キーを押しました" and "＜中断＞",
// and the result is moEscaped. A failing read or close closes the file and
// gives moReadError with what was reached, and the error with it, so that
// the build can go on as it decides. A failing open raises EInOutError with
// nothing read: no widths are to be trusted then. The build button is the
// caller's to enable. A layout with columns reads the file strictly
// (TSourceFile::ReadStrictly); its EMalformedText is a read error.
// A stop request (StopRequest.h), polled per line too, raises EStopped with
// the file closed.
TMeasureResult MeasurePass(const std::string& path, TColumnWidths& widths, int& readCount, BuildView& view,
                           const TSourceLayout& layout = {});
