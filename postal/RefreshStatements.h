// The statements of the refresh, shared with the benchmark that measures the
// same statements through the client library's own calls.
#pragma once

#include "DictionaryRecord.h"
#include "MeasurePass.h"

#include <array>
#include <string>

// ZIP and the six address columns, in table order.
using TTableWidths = std::array<int, rsCount>;

// The table's widths for the measured address widths: ZIP is 7 wide.
TTableWidths TableWidths(const TColumnWidths& widths);

// The most rows one block carries for these widths. The server compiles one
// table context per INSERT and allows 256 in a request, and its request
// (which holds the block's declared input message) must stay under 10 MiB:
// both measured on Firebird 3.
int RowsPerBlock(const TTableWidths& widths);

// EXECUTE BLOCK taking `rows` rows of seven "?" parameters each, in slot
// order, declared at the table's widths in character set NONE, and inserting
// each row into ZIPDIC. The body names its parameters with colons, so the
// text must go to the server as it stands.
std::string BlockText(const TTableWidths& widths, int rows);

// One row's INSERT with seven "?" parameters in slot order.
std::string RowInsertText();
