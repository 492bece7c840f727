// ZIPDIC as the unattended commands find and change it: its shape read from
// the catalogue, its columns widened, a record's seven values bound to a
// statement's parameters.
#pragma once

#include "DictionaryRecord.h"
#include "MeasurePass.h"

#include <IBDatabase.h>
#include <IBSQL.h>

#include <string>
#include <vector>

// The column names in table order, ZIP first: the record's slot order.
extern const char* const DictionaryColumns[rsCount];

// ZIP's width, then ADK1 .. ADR3, in bytes.
using TTableWidths = std::array<int, rsCount>;

struct TTableShape {
    bool Exists = false;
    TTableWidths Widths{};
};

// Reads ZIPDIC's columns in the transaction, which must be active. Raises
// ETableShape for anything but the window's seven VARCHAR columns of
// character set NONE in the window's order.
TTableShape ReadTableShape(TIBDatabase& database, TIBTransaction& transaction);

// The widths a table needs for records measured as widths: ZIP 7, the
// address columns as measured, never narrower than the shape's.
TTableWidths WantedWidths(const TTableShape& shape, const TColumnWidths& measured);

// The columns of the shape narrower than wanted, in table order.
std::vector<std::string> ColumnsToWiden(const TTableShape& shape, const TTableWidths& wanted);

// "ALTER TABLE ZIPDIC ALTER COLUMN <c> TYPE VARCHAR(<n>)" for each column
// narrower than wanted, in a transaction of its own, committed: the server
// applies a new column type only at the commit, and the rows that need it
// go in through a later transaction. Rolls back and raises on any error.
void WidenTable(TIBDatabase& database, const TTableShape& shape, const TTableWidths& wanted);

// True when every value of the record fits the widths.
bool RecordFits(const TDictionaryRecord& record, const TTableWidths& widths);

// Binds the record's slots, in slot order, to the statement's first seven
// parameters as the record's bytes; an empty slot binds NULL.
void BindRecord(TIBSQL& sql, const TDictionaryRecord& record);

// SELECT COUNT(*) FROM ZIPDIC in the transaction.
long CountDictionaryRows(TIBDatabase& database, TIBTransaction& transaction);
