// The test search: every ZIPDIC row whose postal code begins with the typed
// text, one line per row in the memo.
#pragma once

#include "BuildView.h"
#include "TableDescription.h"

#include <IBDatabase.h>
#include <IBQuery.h>

#include <string>

// "SELECT * FROM ZIPDIC WHERE ZIP LIKE '<typed>%';" with every single-quote
// byte of the typed text doubled, so that a typed quote searches for a quote
// instead of ending the literal. Percent sign and underscore stay wildcards.
// SearchText(ZipdicTable, typed).
std::string SearchText(const std::string& typed);

// The table's values each followed by ","; NULL gives nothing but the
// comma. The window's lines are ZIPDIC's seven.
std::string ResultLine(TIBQuery& query, const TTableDescription& table = ZipdicTable);

// Button2Click with the typed text untrimmed. Nothing when not connected,
// when the text is blank or when there is no ZIPDIC. Errors of opening and
// reading rows are absorbed (the lines so far stay); an error of the table
// check, or of ending the previous search's transaction, is raised. The
// search button is enabled again on every path it was disabled on. The
// transaction the query started stays active.
void TestSearch(TIBDatabase& database, TIBTransaction& transaction, TIBQuery& query, const std::string& typed,
                SearchView& view);
