// What the server takes for the window's ZIPDIC: the widths of its VARCHAR
// columns and the size of one row. Decided before anything in the database
// changes.
#pragma once

#include "MeasurePass.h"
#include "TableDescription.h"

// ZIPDIC's widths for the measured address widths: ZIP is 7 wide.
TTableWidths ZipdicWidths(const TColumnWidths& widths);

// True when the server can create (or widen to) a ZIPDIC of ZIP VARCHAR(7)
// and the six address columns at these widths. A width of 0 is not checked
// here: the build refuses it on its own.
bool TableFits(const TColumnWidths& widths);
