#include "TestSearch.h"

#include <ScopeExit.h>
#include <SysUtils.h>

std::string SearchText(const std::string& typed)
{
    return SearchText(ZipdicTable, typed);
}

std::string ResultLine(TIBQuery& query, const TTableDescription& table)
{
    std::string line;
    TFields& fields = query.Fields();
    for (int i = 0; i < table.ColumnCount(); ++i) {
        line += fields[i].AsString();
        line += ',';
    }
    return line;
}

void TestSearch(TIBDatabase& database, TIBTransaction& transaction, TIBQuery& query, const std::string& typed,
                SearchView& view)
{
    if (!database.Connected())
        return;
    if (Trim(typed).empty())
        return;
    if (!view.TableExists(ZipdicTable.Name))
        return;
    view.EnableSearchButton(false);
    const TScopeExit enableOnExit([&view] { view.EnableSearchButton(true); });
    view.ClearMemo();
    query.SetActive(false);
    transaction.SetActive(false);   // ends the previous search's transaction
    query.SetParamCheck(true);
    TStringList& sql = query.SQL();
    sql.Clear();
    sql.Add(SearchText(typed));
    try {
        query.Open();
        query.First();
        while (!query.Eof() && !view.EscapeDown()) {
            view.AddMemoLine(ResultLine(query));
            query.Next();
        }
    } catch (...) {
        // A failed search shows only what it found before it failed.
    }
    query.SetActive(false);
}
