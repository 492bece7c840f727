// A fake client library exporting the entry points the layer binds, steered
// by FakeScript. Built three ways: complete; FAKE_VERSION5 (no
// isc_rollback_retaining and none of the ten later names); FAKE_OMIT_FETCH
// (no isc_dsql_fetch, a required name).
#include "FakeScript.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const ISC_STATUS kBadDbHandle = 335544324;
const ISC_STATUS kBadTransHandle = 335544332;
const ISC_STATUS kBadStmtHandle = 335544485;

fake::TCall Call(const char* entry, std::vector<long long> numbers = {})
{
    fake::TCall c;
    c.entry = entry;
    c.numbers = std::move(numbers);
    return c;
}

ISC_STATUS Fail(ISC_STATUS* status, ISC_STATUS code)
{
    status[0] = isc_arg_gds;
    status[1] = code;
    status[2] = isc_arg_end;
    return code;
}

std::string Text(const ISC_SCHAR* text, long long length)
{
    if (!text)
        return {};
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string(text);
}

long long Value(const FB_API_HANDLE* handle)
{
    return handle ? static_cast<long long>(*handle) : -1;
}

} // namespace

// Runs the script; returns from the entry point when it decided the result.
#define FAKE_ENTER(call, status)                          \
    do {                                                  \
        ISC_STATUS fakeResult = 0;                        \
        if (fake::Enter((call), (status), fakeResult))    \
            return fakeResult;                            \
    } while (0)

// A call on a live handle: the bad-handle failure when it is 0; ending it
// clears it, as the library does.
static ISC_STATUS OnHandle(const char* name, ISC_STATUS* status, FB_API_HANDLE* handle, ISC_STATUS badHandle,
                           bool ending)
{
    FAKE_ENTER(Call(name, {Value(handle)}), status);
    if (!*handle)
        return Fail(status, badHandle);
    if (ending)
        *handle = 0;
    return 0;
}

FAKE_EXPORT int BLOB_get(FB_BLOB_STREAM)
{
    return -1;
}

FAKE_EXPORT int BLOB_put(ISC_SCHAR, FB_BLOB_STREAM)
{
    return 0;
}

FAKE_EXPORT ISC_LONG isc_sqlcode(const ISC_STATUS* status)
{
    if (!status || status[1] == 0)
        return 0;
    return fake::SqlCode();
}

FAKE_EXPORT void isc_sql_interprete(short, ISC_SCHAR* buffer, short length)
{
    if (buffer && length > 0)
        buffer[0] = 0;
}

// One line per isc_arg_gds cluster; the argument clusters after it belong to
// its line and are stepped over with it.
FAKE_EXPORT ISC_LONG isc_interprete(ISC_SCHAR* buffer, ISC_STATUS** cursor)
{
    ISC_STATUS* p = *cursor;
    if (!p || p[0] != isc_arg_gds || p[1] == 0) {
        buffer[0] = 0;
        return 0;
    }
    const std::string text = fake::Message(p[1]);
    p += 2;
    while (*p != isc_arg_end && *p != isc_arg_gds)
        p += (*p == isc_arg_cstring) ? 3 : 2;
    *cursor = p;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<ISC_LONG>(text.size());
}

FAKE_EXPORT ISC_LONG isc_vax_integer(const ISC_SCHAR* bytes, short length)
{
    ISC_LONG value = 0;
    int shift = 0;
    for (short i = 0; i < length && i < 4; ++i, shift += 8)
        value += static_cast<ISC_LONG>(static_cast<unsigned char>(bytes[i])) << shift;
    return value;
}

FAKE_EXPORT ISC_STATUS isc_blob_info(ISC_STATUS* status, isc_blob_handle*, short, const ISC_SCHAR*, short, ISC_SCHAR* out)
{
    FAKE_ENTER(Call("isc_blob_info"), status);
    if (out)
        out[0] = isc_info_end;
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_open_blob2(ISC_STATUS* status, isc_db_handle*, isc_tr_handle*, isc_blob_handle* blob,
                                      ISC_QUAD*, ISC_USHORT, const ISC_UCHAR*)
{
    FAKE_ENTER(Call("isc_open_blob2"), status);
    *blob = fake::NewHandle();
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_close_blob(ISC_STATUS* status, isc_blob_handle* blob)
{
    FAKE_ENTER(Call("isc_close_blob"), status);
    *blob = 0;
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_get_segment(ISC_STATUS* status, isc_blob_handle*, unsigned short* got, unsigned short,
                                       ISC_SCHAR*)
{
    FAKE_ENTER(Call("isc_get_segment"), status);
    *got = 0;
    return isc_segstr_eof;
}

FAKE_EXPORT ISC_STATUS isc_put_segment(ISC_STATUS* status, isc_blob_handle*, unsigned short, const ISC_SCHAR*)
{
    FAKE_ENTER(Call("isc_put_segment"), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_create_blob2(ISC_STATUS* status, isc_db_handle*, isc_tr_handle*, isc_blob_handle* blob,
                                        ISC_QUAD*, short, const ISC_SCHAR*)
{
    FAKE_ENTER(Call("isc_create_blob2"), status);
    *blob = fake::NewHandle();
    return 0;
}

FAKE_EXPORT void isc_decode_date(const ISC_QUAD*, void* tm)
{
    std::memset(tm, 0, sizeof(struct tm));
}

FAKE_EXPORT void isc_encode_date(const void*, ISC_QUAD* quad)
{
    std::memset(quad, 0, sizeof *quad);
}

FAKE_EXPORT ISC_STATUS isc_dsql_free_statement(ISC_STATUS* status, isc_stmt_handle* stmt, unsigned short option)
{
    FAKE_ENTER(Call("isc_dsql_free_statement", {Value(stmt), option}), status);
    if (!*stmt)
        return Fail(status, kBadStmtHandle);
    if (option == DSQL_drop)
        *stmt = 0;
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_dsql_execute2(ISC_STATUS* status, isc_tr_handle* tr, isc_stmt_handle* stmt,
                                         unsigned short dialect, const XSQLDA* in, const XSQLDA* out)
{
    FAKE_ENTER(Call("isc_dsql_execute2", {Value(tr), Value(stmt), dialect, in != nullptr, out != nullptr}), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_dsql_execute(ISC_STATUS* status, isc_tr_handle* tr, isc_stmt_handle* stmt,
                                        unsigned short dialect, const XSQLDA* in)
{
    FAKE_ENTER(Call("isc_dsql_execute", {Value(tr), Value(stmt), dialect, in != nullptr}), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_dsql_set_cursor_name(ISC_STATUS* status, isc_stmt_handle* stmt, const ISC_SCHAR* name,
                                                unsigned short)
{
    fake::TCall c = Call("isc_dsql_set_cursor_name", {Value(stmt)});
    c.text = Text(name, 0);
    FAKE_ENTER(std::move(c), status);
    return 0;
}

#ifndef FAKE_OMIT_FETCH
FAKE_EXPORT ISC_STATUS isc_dsql_fetch(ISC_STATUS* status, isc_stmt_handle* stmt, unsigned short dialect,
                                      const XSQLDA*)
{
    FAKE_ENTER(Call("isc_dsql_fetch", {Value(stmt), dialect}), status);
    return 100;   // no rows
}
#endif

FAKE_EXPORT ISC_STATUS isc_dsql_sql_info(ISC_STATUS* status, isc_stmt_handle* stmt, short itemLength,
                                         const ISC_SCHAR* items, short outLength, ISC_SCHAR* out)
{
    fake::TCall c = Call("isc_dsql_sql_info", {Value(stmt)});
    c.buffer = Text(items, itemLength);
    FAKE_ENTER(std::move(c), status);
    const std::string* reply = itemLength > 0 ? fake::InfoReply(items[0]) : nullptr;
    if (out && reply)
        std::memcpy(out, reply->data(), std::min<std::size_t>(reply->size(), outLength > 0 ? outLength : 0));
    else if (out)
        out[0] = isc_info_end;
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_dsql_alloc_statement2(ISC_STATUS* status, isc_db_handle* db, isc_stmt_handle* stmt)
{
    FAKE_ENTER(Call("isc_dsql_alloc_statement2", {Value(db)}), status);
    if (!*db)
        return Fail(status, kBadDbHandle);
    *stmt = fake::NewHandle();
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_dsql_prepare(ISC_STATUS* status, isc_tr_handle* tr, isc_stmt_handle* stmt,
                                        unsigned short length, const ISC_SCHAR* text, unsigned short dialect,
                                        XSQLDA*)
{
    fake::TCall c = Call("isc_dsql_prepare", {Value(tr), Value(stmt), dialect});
    c.text = Text(text, length);
    FAKE_ENTER(std::move(c), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_dsql_describe_bind(ISC_STATUS* status, isc_stmt_handle* stmt, unsigned short dialect,
                                              XSQLDA* area)
{
    FAKE_ENTER(Call("isc_dsql_describe_bind", {Value(stmt), dialect}), status);
    if (fake::TAreaHook hook = fake::AreaHook("isc_dsql_describe_bind"); hook && area)
        hook(area);
    else if (area)
        area->sqld = 0;
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_dsql_describe(ISC_STATUS* status, isc_stmt_handle* stmt, unsigned short dialect,
                                         XSQLDA* area)
{
    FAKE_ENTER(Call("isc_dsql_describe", {Value(stmt), dialect}), status);
    if (fake::TAreaHook hook = fake::AreaHook("isc_dsql_describe"); hook && area)
        hook(area);
    else if (area)
        area->sqld = 0;
    return 0;
}

// Records the text; a CREATE DATABASE attaches the new database as the
// real library does.
FAKE_EXPORT ISC_STATUS isc_dsql_execute_immediate(ISC_STATUS* status, isc_db_handle* db, isc_tr_handle* tr,
                                                  unsigned short length, const ISC_SCHAR* text,
                                                  unsigned short dialect, const XSQLDA* area)
{
    fake::TCall c = Call("isc_dsql_execute_immediate", {Value(db), Value(tr), length, dialect, area != nullptr});
    c.text = Text(text, length);
    const bool create = c.text.compare(0, 16, "CREATE DATABASE ") == 0;
    FAKE_ENTER(std::move(c), status);
    if (create && *db == 0)
        *db = fake::NewHandle();
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_drop_database(ISC_STATUS* status, isc_db_handle* db)
{
    return OnHandle("isc_drop_database", status, db, kBadDbHandle, true);
}

FAKE_EXPORT ISC_STATUS isc_detach_database(ISC_STATUS* status, isc_db_handle* db)
{
    return OnHandle("isc_detach_database", status, db, kBadDbHandle, true);
}

FAKE_EXPORT ISC_STATUS isc_attach_database(ISC_STATUS* status, short length, const ISC_SCHAR* name,
                                           isc_db_handle* db, short dpbLength, const ISC_SCHAR* dpb)
{
    fake::TCall c = Call("isc_attach_database", {length, dpbLength});
    c.text = Text(name, length);
    c.buffer = dpb && dpbLength > 0 ? std::string(dpb, static_cast<std::size_t>(dpbLength)) : std::string();
    FAKE_ENTER(std::move(c), status);
    *db = fake::NewHandle();
    return 0;
}

// Answers the dialect item only.
FAKE_EXPORT ISC_STATUS isc_database_info(ISC_STATUS* status, isc_db_handle* db, short itemLength,
                                         const ISC_SCHAR* items, short, ISC_SCHAR* out)
{
    fake::TCall c = Call("isc_database_info", {Value(db)});
    c.buffer = Text(items, itemLength);
    FAKE_ENTER(std::move(c), status);
    if (!*db)
        return Fail(status, kBadDbHandle);
    std::size_t i = 0;
    if (itemLength > 0 && items[0] == isc_info_db_sql_dialect) {
        out[i++] = isc_info_db_sql_dialect;
        out[i++] = 1;
        out[i++] = 0;
        out[i++] = static_cast<ISC_SCHAR>(fake::Dialect());
    }
    out[i] = isc_info_end;
    return 0;
}

struct TFakeTeb {   // the client's own layout: pointer, int, pointer
    isc_db_handle* db;
    int tpbLength;
    const ISC_SCHAR* tpb;
};

FAKE_EXPORT ISC_STATUS isc_start_multiple(ISC_STATUS* status, isc_tr_handle* tr, short count, void* vector)
{
    fake::TCall c = Call("isc_start_multiple", {Value(tr), count});
    const TFakeTeb* teb = static_cast<const TFakeTeb*>(vector);
    bool allAttached = true;
    for (short i = 0; i < count; ++i) {
        fake::TTeb t;
        t.dbHandle = teb[i].db ? *teb[i].db : 0;
        t.tpbLength = teb[i].tpbLength;
        t.tpbIsNull = teb[i].tpb == nullptr;
        if (teb[i].tpb && teb[i].tpbLength > 0)
            t.tpb.assign(teb[i].tpb, static_cast<std::size_t>(teb[i].tpbLength));
        allAttached = allAttached && t.dbHandle != 0;
        c.tebs.push_back(t);
    }
    FAKE_ENTER(std::move(c), status);
    if (!allAttached)
        return Fail(status, kBadDbHandle);
    *tr = fake::NewHandle();
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_commit_transaction(ISC_STATUS* status, isc_tr_handle* tr)
{
    return OnHandle("isc_commit_transaction", status, tr, kBadTransHandle, true);
}

FAKE_EXPORT ISC_STATUS isc_commit_retaining(ISC_STATUS* status, isc_tr_handle* tr)
{
    return OnHandle("isc_commit_retaining", status, tr, kBadTransHandle, false);
}

FAKE_EXPORT ISC_STATUS isc_rollback_transaction(ISC_STATUS* status, isc_tr_handle* tr)
{
    return OnHandle("isc_rollback_transaction", status, tr, kBadTransHandle, true);
}

FAKE_EXPORT ISC_STATUS isc_cancel_events(ISC_STATUS* status, isc_db_handle*, ISC_LONG*)
{
    FAKE_ENTER(Call("isc_cancel_events"), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_que_events(ISC_STATUS* status, isc_db_handle*, ISC_LONG*, short, const ISC_UCHAR*,
                                      ISC_EVENT_CALLBACK, void*)
{
    FAKE_ENTER(Call("isc_que_events"), status);
    return 0;
}

FAKE_EXPORT void isc_event_counts(ISC_ULONG*, short, ISC_UCHAR*, const ISC_UCHAR*) {}

FAKE_EXPORT ISC_LONG isc_event_block(ISC_UCHAR** events, ISC_UCHAR** buffer, ISC_USHORT, ...)
{
    *events = nullptr;
    *buffer = nullptr;
    return 0;
}

FAKE_EXPORT ISC_LONG isc_free(ISC_SCHAR*)
{
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_add_user(ISC_STATUS* status, const USER_SEC_DATA*)
{
    FAKE_ENTER(Call("isc_add_user"), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_delete_user(ISC_STATUS* status, const USER_SEC_DATA*)
{
    FAKE_ENTER(Call("isc_delete_user"), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_modify_user(ISC_STATUS* status, const USER_SEC_DATA*)
{
    FAKE_ENTER(Call("isc_modify_user"), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_prepare_transaction(ISC_STATUS* status, isc_tr_handle* tr)
{
    FAKE_ENTER(Call("isc_prepare_transaction", {Value(tr)}), status);
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_prepare_transaction2(ISC_STATUS* status, isc_tr_handle* tr, ISC_USHORT, const ISC_UCHAR*)
{
    FAKE_ENTER(Call("isc_prepare_transaction2", {Value(tr)}), status);
    return 0;
}

#ifndef FAKE_VERSION5
FAKE_EXPORT ISC_STATUS isc_rollback_retaining(ISC_STATUS* status, isc_tr_handle* tr)
{
    return OnHandle("isc_rollback_retaining", status, tr, kBadTransHandle, false);
}

FAKE_EXPORT ISC_STATUS isc_service_attach(ISC_STATUS* status, unsigned short, const ISC_SCHAR*, isc_svc_handle* svc,
                                          unsigned short, const ISC_SCHAR*)
{
    FAKE_ENTER(Call("isc_service_attach"), status);
    *svc = fake::NewHandle();
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_service_detach(ISC_STATUS* status, isc_svc_handle* svc)
{
    FAKE_ENTER(Call("isc_service_detach"), status);
    *svc = 0;
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_service_query(ISC_STATUS* status, isc_svc_handle*, isc_resv_handle*, unsigned short,
                                         const ISC_SCHAR*, unsigned short, const ISC_SCHAR*, unsigned short,
                                         ISC_SCHAR* out)
{
    FAKE_ENTER(Call("isc_service_query"), status);
    if (out)
        out[0] = isc_info_end;
    return 0;
}

FAKE_EXPORT ISC_STATUS isc_service_start(ISC_STATUS* status, isc_svc_handle*, isc_resv_handle*, unsigned short,
                                         const ISC_SCHAR*)
{
    FAKE_ENTER(Call("isc_service_start"), status);
    return 0;
}

FAKE_EXPORT void isc_decode_sql_date(const ISC_DATE*, void* tm)
{
    std::memset(tm, 0, sizeof(struct tm));
}

FAKE_EXPORT void isc_decode_sql_time(const ISC_TIME*, void* tm)
{
    std::memset(tm, 0, sizeof(struct tm));
}

FAKE_EXPORT void isc_decode_timestamp(const ISC_TIMESTAMP*, void* tm)
{
    std::memset(tm, 0, sizeof(struct tm));
}

FAKE_EXPORT void isc_encode_sql_date(const void*, ISC_DATE* date)
{
    *date = 0;
}

FAKE_EXPORT void isc_encode_sql_time(const void*, ISC_TIME* time)
{
    *time = 0;
}

FAKE_EXPORT void isc_encode_timestamp(const void*, ISC_TIMESTAMP* stamp)
{
    std::memset(stamp, 0, sizeof *stamp);
}
#endif
