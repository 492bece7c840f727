// The client library's handles and status word as the headers that other
// folders include see them: the library's own integer types, named here so
// that <ibase.h> stays inside db/'s sources (IBHeader.h checks that they
// agree). The descriptor structures are opaque here.
#pragma once

#include <cstdint>

using TIBStatus = std::intptr_t;   // ISC_STATUS
using TIBHandle = unsigned int;    // isc_db_handle, isc_tr_handle, isc_stmt_handle (64-bit platforms)

struct TIBClientVar;    // XSQLVAR
struct TIBClientArea;   // XSQLDA
// Names the client's descriptor types (IBHeader.h); for the layer's own
// sources and tests, which read the structures directly.
struct TIBClientTypes;
