// The client library's entry points as the layer binds them: one type per
// name, taken from the library's own declarations in <ibase.h>, and the
// binding lists in the order in which they are bound.
#pragma once

#include "IBClientTypes.h"

#include <type_traits>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <ibase.h>

// Required by every client library, bound in this order.
#define IB_REQUIRED_ENTRY_POINTS(X) \
    X(BLOB_get) X(BLOB_put) X(isc_sqlcode) X(isc_sql_interprete) X(isc_interprete) \
    X(isc_vax_integer) X(isc_blob_info) X(isc_open_blob2) X(isc_close_blob) \
    X(isc_get_segment) X(isc_put_segment) X(isc_create_blob2) X(isc_decode_date) \
    X(isc_encode_date) X(isc_dsql_free_statement) X(isc_dsql_execute2) X(isc_dsql_execute) \
    X(isc_dsql_set_cursor_name) X(isc_dsql_fetch) X(isc_dsql_sql_info) \
    X(isc_dsql_alloc_statement2) X(isc_dsql_prepare) X(isc_dsql_describe_bind) \
    X(isc_dsql_describe) X(isc_dsql_execute_immediate) X(isc_drop_database) \
    X(isc_detach_database) X(isc_attach_database) X(isc_database_info) \
    X(isc_start_multiple) X(isc_commit_transaction) X(isc_commit_retaining) \
    X(isc_rollback_transaction) X(isc_cancel_events) X(isc_que_events) \
    X(isc_event_counts) X(isc_event_block) X(isc_free) X(isc_add_user) \
    X(isc_delete_user) X(isc_modify_user) X(isc_prepare_transaction) \
    X(isc_prepare_transaction2)

// Bound when the library offers isc_rollback_retaining (client version 6);
// otherwise these eleven slots hold stubs that raise client error 3.
#define IB_VERSION6_ENTRY_POINTS(X) \
    X(isc_service_attach) X(isc_service_detach) X(isc_service_query) \
    X(isc_service_start) X(isc_decode_sql_date) X(isc_decode_sql_time) \
    X(isc_decode_timestamp) X(isc_encode_sql_date) X(isc_encode_sql_time) \
    X(isc_encode_timestamp)

#define IB_DECLARE_ENTRY_TYPE(name) using T##name = decltype(&::name);
IB_REQUIRED_ENTRY_POINTS(IB_DECLARE_ENTRY_TYPE)
IB_DECLARE_ENTRY_TYPE(isc_rollback_retaining)
IB_VERSION6_ENTRY_POINTS(IB_DECLARE_ENTRY_TYPE)
#undef IB_DECLARE_ENTRY_TYPE
#pragma GCC diagnostic pop

// The transaction existence block that isc_start_multiple reads, one per
// database, in the client library's own 64-bit layout (pointer, int, pointer).
struct ISC_TEB {
    isc_db_handle* db_handle;
    int tpb_length;
    const ISC_SCHAR* tpb;
};

// A signed little-endian integer of 1 to 4 bytes, read as isc_vax_integer
// reads it (0 for any other length), without a call into the library: the
// statement step reads two of them per statement, the fetch one per VARCHAR
// column and row.
inline ISC_LONG VaxInteger(const char* bytes, int length)
{
    if (length <= 0 || length > 4)
        return 0;
    ISC_ULONG value = 0;
    for (int i = 0; i < length - 1; ++i)
        value |= static_cast<ISC_ULONG>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    const ISC_LONG last = static_cast<signed char>(bytes[length - 1]);   // carries the sign
    value |= static_cast<ISC_ULONG>(last) << (8 * (length - 1));
    return static_cast<ISC_LONG>(value);
}

// Error codes the layer looks for in a status vector.
constexpr ISC_STATUS isc_lost_db_connection_code = 335544741;   // connection lost
constexpr ISC_STATUS isc_lock_conflict_code = 335544345;
constexpr ISC_STATUS isc_bad_stmt_handle_code = 335544485;      // invalid statement handle
constexpr ISC_STATUS isc_dsql_cursor_err_code = 335544572;      // cursor error: end of rows
constexpr ISC_STATUS isc_dsql_cursor_close_err_code = 335544577;

// The opaque names the headers outside db/ use are the library's own types.
static_assert(std::is_same_v<ISC_STATUS, TIBStatus>, "TIBStatus must be ISC_STATUS");
static_assert(std::is_same_v<isc_db_handle, TIBHandle> && std::is_same_v<isc_tr_handle, TIBHandle> &&
                  std::is_same_v<isc_stmt_handle, TIBHandle>,
              "TIBHandle must be the client library's handle type");

struct TIBClientTypes {
    using Var = XSQLVAR;
    using Area = XSQLDA;
};

// A descriptor entry under its opaque name (TIBXSQLVAR::XSqlVar turns it back).
inline TIBClientVar* OpaqueVar(XSQLVAR* var) noexcept { return reinterpret_cast<TIBClientVar*>(var); }

// A value is null only in a nullable entry whose indicator says so.
inline bool IsNullVar(const XSQLVAR& var) noexcept
{
    return (var.sqltype & 1) != 0 && var.sqlind && *var.sqlind == -1;
}
