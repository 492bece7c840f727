// The script of the fake client library. The tests and every build of the
// fake link this one shared object, so what a test sets here is what the
// fake's entry points do, and what they were called with is recorded here.
//
// Every entry point records its call and then, in this order: fails if a
// failure is queued for it, runs its hook if one is set, or does its default
// (succeed, hand out handles, zero handles it ends).
#pragma once

#include <ibase.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake {

struct TTeb {
    isc_db_handle dbHandle = 0;    // the value behind the handle address
    int tpbLength = 0;
    bool tpbIsNull = true;
    std::string tpb;               // tpbLength bytes when the pointer was set
};

struct TCall {
    std::string entry;
    std::string text;              // database name, SQL text, cursor name
    std::string buffer;            // DPB, info items
    std::vector<long long> numbers;    // handle values, lengths, dialect, ... per entry point
    std::vector<TTeb> tebs;        // isc_start_multiple only
};

// Forgets calls, queued failures, hooks and settings.
void Reset();

// The next `times` calls of the entry point fail: the status vector gets the
// given words (a terminating 0 is added) and the call returns word 1.
void FailNext(const std::string& entry, std::vector<ISC_STATUS> vector, int times = 1);

// Replaces an entry point's default; return true when the hook decided the
// result (set in `result`, with the status vector filled by the hook).
using THook = std::function<bool(const TCall& call, ISC_STATUS* status, ISC_STATUS& result)>;
void SetHook(const std::string& entry, THook hook);

// The line isc_interprete gives for an error code (default "fake error <code>").
void SetMessage(ISC_STATUS code, const std::string& text);
// What isc_sqlcode returns for a failing vector (default -901).
void SetSqlCode(ISC_LONG sqlCode);
// What isc_database_info reports as the database's SQL dialect (default 3).
void SetDialect(int dialect);
// What isc_dsql_sql_info writes into its reply buffer when the request's
// first item is `item` (default: isc_info_end alone); cut to the buffer.
void SetInfoReply(char item, const std::string& reply);
// Fills the area after isc_dsql_describe or isc_dsql_describe_bind succeeded
// (default: sqld 0, no columns).
using TAreaHook = std::function<void(XSQLDA* area)>;
void SetAreaHook(const std::string& entry, TAreaHook hook);

// Kept in a deque: a recorded call stays where it is while more are added.
const std::deque<TCall>& Calls();
int CallCount(const std::string& entry);
// The latest call of the entry point; nullptr when there was none.
const TCall* LastCall(const std::string& entry);

// For the fake's entry points.
bool Enter(TCall call, ISC_STATUS* status, ISC_STATUS& result);
unsigned NewHandle();
std::string Message(ISC_STATUS code);
ISC_LONG SqlCode();
int Dialect();
const std::string* InfoReply(char item);
TAreaHook AreaHook(const std::string& entry);

} // namespace fake
