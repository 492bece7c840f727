// What the benchmark programs share: the window's three components on a
// database of their own, a view that shows nothing and one that counts.
#pragma once

#include <BuildView.h>

#include <IBIntf.h>
#include <IBQuery.h>
#include <SysUtils.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <time.h>

// IBDatabase1, IBTransaction1 and IBQuery1 wired as the window wires them,
// attached to target (created with page size 4096 when it does not exist):
// a database file for the embedded engine, or "127.0.0.1:/path" or
// "127.0.0.1/PORT:/path" for a local server. The login is the window's;
// extraParams are further attach lines, such as "force_write=0".
struct TBenchComponents {
    explicit TBenchComponents(const std::string& target, const std::vector<std::string>& extraParams = {})
    {
        Database.SetLoginPrompt(false);
        Database.SetDatabaseName(target);
        Database.Params().Add("USER \"SYSDBA\"");
        Database.Params().Add("PASSWORD \"copperjam\"");
        Database.Params().Add("PAGE_SIZE 4096");
        try {
            Database.CreateNewDatabase();
            Database.SetConnected(false);
        } catch (const EIBError&) {
            // It exists already.
        }
        Database.Params().Clear();
        Database.Params().Add("USER_NAME=SYSDBA");
        Database.Params().Add("PASSWORD=copperjam");
        for (const std::string& line : extraParams)
            Database.Params().Add(line);
        Transaction.SetDefaultDatabase(&Database);
        Database.SetDefaultTransaction(&Transaction);
        Query.SetDatabase(&Database);
        Query.SetTransaction(&Transaction);
        Query.SetBufferChunks(1000);
        Query.SetCachedUpdates(false);
        Database.SetConnected(true);
    }

    TIBDatabase Database{"IBDatabase1"};
    TIBTransaction Transaction{"IBTransaction1"};
    TIBQuery Query{"IBQuery1"};
};

class TSilentView : public BuildView {
public:
    void SetPhaseLine(const std::string&) override {}
    void SetProgressLine(const std::string&) override {}
    void ShowMessage(const std::string&) override {}
    bool EscapeDown() override { return false; }
    void EnableBuildButton(bool) override {}
};

// The whole build's view for the builds the benchmarks time: it counts the
// repaints, keeps the message texts and asks the connection for its tables.
class TCountingView : public DictionaryBuildView {
public:
    explicit TCountingView(TIBDatabase& database) : m_database(database) {}
    void SetPhaseLine(const std::string&) override { ++Repaints; }
    void SetProgressLine(const std::string&) override { ++Repaints; }
    void ShowMessage(const std::string& text) override { Messages += text + "\n"; }
    bool EscapeDown() override { return false; }
    void EnableBuildButton(bool) override {}
    void CharactersReplaced(const std::string&, const TReplacements&) override {}
    bool TableExists(const std::string& name) override
    {
        TStringList names;
        m_database.ListTableNames(names, false);
        for (const std::string& table : names.Lines())
            if (SameText(table, name))
                return true;
        return false;
    }

    long Repaints = 0;
    std::string Messages;

private:
    TIBDatabase& m_database;   // not owned
};

// One statement with the client calls alone, in a transaction of its own:
// start, allocate, prepare, statement-type information, execute, free,
// commit (rollback on failure). text is the caller's scratch for the lines
// joined with CR LF. True when committed.
inline bool DirectStep(isc_db_handle* database, const std::vector<std::string>& lines, std::string& text)
{
    const TClientApi& api = ClientApi();
    ISC_STATUS_ARRAY status;
    text.clear();
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    isc_tr_handle transaction = 0;
    ISC_TEB teb{database, 0, nullptr};
    if (api.isc_start_multiple(status, &transaction, 1, &teb))
        return false;
    isc_stmt_handle statement = 0;
    bool ok = api.isc_dsql_alloc_statement2(status, database, &statement) == 0 &&
              api.isc_dsql_prepare(status, &transaction, &statement, 0, text.c_str(), 3, nullptr) == 0;
    if (ok) {
        const char request[] = {isc_info_sql_stmt_type};
        char reply[8] = {};
        ok = api.isc_dsql_sql_info(status, &statement, sizeof request, request, sizeof reply, reply) == 0 &&
             reply[0] == isc_info_sql_stmt_type;
    }
    ok = ok && api.isc_dsql_execute(status, &transaction, &statement, 3, nullptr) == 0;
    if (statement)
        api.isc_dsql_free_statement(status, &statement, DSQL_drop);
    if (ok && api.isc_commit_transaction(status, &transaction) == 0)
        return true;
    if (transaction)
        api.isc_rollback_transaction(status, &transaction);
    return false;
}

// The rows of ZIPDIC, counted in a transaction of its own.
inline long long StoredRows(TIBDatabase& database, TIBTransaction& transaction)
{
    transaction.StartTransaction();
    TIBSQL count;
    count.SetDatabase(&database);
    count.SetTransaction(&transaction);
    count.SQL().Add("SELECT COUNT(*) FROM ZIPDIC");
    count.ExecQuery();
    const long long rows = std::atoll(count.Column(0).AsText().c_str());
    count.Close();
    transaction.Commit();
    return rows;
}

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The wall-clock seconds run takes.
template <typename F>
double WallSeconds(F run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return Seconds(std::chrono::steady_clock::now() - start);
}

// The embedded engine works in the calling thread: on a busy machine its CPU
// time compares more steadily than the wall clock.
inline double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
