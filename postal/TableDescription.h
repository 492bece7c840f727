// The tables the commands keep current, each described once: its name, its
// columns (name, the file's column it comes from, kind, width rule) and the
// layout of the file it is made from. Every statement the commands send to a
// table is made from its description, so both tables are created, checked,
// filled, searched and updated alike.
#pragma once

#include "SourceEncoding.h"

#include <Classes.h>

#include <cstddef>
#include <string>
#include <vector>

enum TColumnKind {
    ckText,       // VARCHAR(width) CHARACTER SET NONE: the file's bytes
    ckSmallint,   // SMALLINT: the file's digits, converted by the server
};

struct TColumnDescription {
    const char* Name;
    int SourceColumn;   // the column of the file's line, from 1
    TColumnKind Kind;
    // A text column's width when it is fixed (a postal code's 7); 0 when it
    // is measured: the longest value of the file, in bytes, never narrowed.
    int FixedWidth;
};

// One value per column, in table order; an empty value is stored as NULL.
using TTableRow = std::vector<std::string>;
// One width per column, in table order; a SMALLINT's is 0.
using TTableWidths = std::vector<int>;

struct TTableDescription {
    const char* Name;
    // The file's layout: every line holds this many columns. The two
    // tables' files differ in it, which tells them apart.
    int SourceColumns;
    std::vector<TColumnDescription> Columns;
    // The columns of a UTF-8 line converted to CP932.
    TConvertedColumns Converted;
    // The row of a split line of SourceColumns fields.
    void (*BuildRow)(const TStringList& fields, TTableRow& row);
    // Where a missing table comes from, for the messages that say so.
    const char* MakeItHint;

    int ColumnCount() const noexcept { return static_cast<int>(Columns.size()); }
};

// ZIPDIC from KEN_ALL.CSV (15 columns): the window's seven columns.
extern const TTableDescription ZipdicTable;
// JIGYOSYO from Japan Post's business-office file JIGYOSYO.CSV (13 columns).
extern const TTableDescription JigyosyoTable;
// The table whose file has this many columns; null for any other count.
const TTableDescription* TableForColumns(int columns);

// The widths a file needs: the fixed ones, and the longest value of each
// measured column as WidenTo found it.
TTableWidths FileWidths(const TTableDescription& table);
// Widens each measured text column's width to the row's value.
void WidenTo(const TTableDescription& table, TTableWidths& widths, const TTableRow& row);
// True when every text value of the row fits its column at these widths.
bool RowFits(const TTableDescription& table, const TTableRow& row, const TTableWidths& widths);
// True when the server can create (or widen to) the table at these widths:
// no VARCHAR wider than it declares, no row longer than it stores.
bool TableFits(const TTableDescription& table, const TTableWidths& widths);
// "ZIP 7, ADK1 22, ...": the text columns' widths.
std::string WidthList(const TTableDescription& table, const TTableWidths& widths);

// The most rows one insert block carries for these widths. The server
// compiles one table context per INSERT and allows 256 in a request, and its
// request (which holds the block's declared input message) must stay under
// 10 MiB: both measured on Firebird 3.
int RowsPerBlock(const TTableDescription& table, const TTableWidths& widths);

// The statements, as sent. Those with "?" parameters are positional, their
// parameters in table order; those with a body name their parameters with
// colons, so they must go to the server as they stand.
std::string CreateText(const TTableDescription& table, const TTableWidths& widths);
std::string WidenText(const TTableDescription& table, int column, int width);
// EXECUTE BLOCK taking `rows` rows of parameters declared at the table's
// widths, inserting each row.
std::string BlockText(const TTableDescription& table, const TTableWidths& widths, int rows);
// One row's INSERT.
std::string RowInsertText(const TTableDescription& table);
std::string DeleteAllText(const TTableDescription& table);
std::string CountText(const TTableDescription& table);
// Every row with its row key first (RDB$DB_KEY), then its columns.
std::string ScanText(const TTableDescription& table);
// EXECUTE BLOCK deleting the rows of `rows` row keys (CHAR(8) OCTETS).
std::string DeleteBlockText(const TTableDescription& table, int rows);
// The table's columns as the catalogue describes them, in order: name,
// type, length, character set, and 1 when the column is a plain one.
std::string ShapeText(const TTableDescription& table);
// "SELECT * FROM <table> WHERE ZIP LIKE '<typed>%';", every single quote of
// typed doubled.
std::string SearchText(const TTableDescription& table, const std::string& typed);
// The TPB lines of a rows' transaction: the table reserved so that no other
// transaction writes it while readers go on reading, at once or not at all.
std::vector<std::string> ReservingParams(const TTableDescription& table);
