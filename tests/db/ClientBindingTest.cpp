// Loading the client library and binding its entry points.
#include "TestSupport.h"

#include <IB.h>
#include <IBIntf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

bool NoEntryPointBound()
{
    const TClientApi& api = ClientApi();
    bool none = true;
#define IB_CHECK_EMPTY(name) none = none && api.name == nullptr;
    IB_REQUIRED_ENTRY_POINTS(IB_CHECK_EMPTY)
    IB_CHECK_EMPTY(isc_rollback_retaining)
    IB_VERSION6_ENTRY_POINTS(IB_CHECK_EMPTY)
#undef IB_CHECK_EMPTY
    return none;
}

} // namespace

TEST(ClientBinding, MissingLibraryFailsEveryConstructionUntilItIsThere)
{
    UseFakeClient("/nonexistent/libkx27-no-such-client.so");
    const std::function<void()> constructions[] = {
        [] { TIBDatabase database; },
        [] { TIBTransaction transaction; },
        [] { TIBDatabase database; },
    };
    for (const auto& construct : constructions) {
        try {
            construct();
            FAIL() << "constructed without a client library";
        } catch (const EIBClientError& e) {
            EXPECT_EQ(e.SqlErrorCode(), 1);
            EXPECT_EQ(e.Message(), Cp932("InterBase のライブラリ（gds32.dll）がシステムから見つけられませんでした。"
                                         "この機能を使うには InterBase をインストールしてください。"));
        }
        EXPECT_FALSE(TryLoadClient());
    }
    SetClientLibraryPath(KX27_FAKE_CLIENT);   // the library turns up: the next construction loads it
    TIBDatabase database;
    EXPECT_TRUE(TryLoadClient());
    EXPECT_EQ(ClientVersion(), 6);
}

TEST(ClientBinding, MissingRequiredEntryPointLeavesNothingBound)
{
    UseFakeClient(KX27_FAKE_CLIENT_NOFETCH);
    for (int attempt = 0; attempt < 2; ++attempt) {   // a failed load is tried again, and fails again
        try {
            TIBDatabase database;
            FAIL() << "loaded a library without isc_dsql_fetch";
        } catch (const EOSError& e) {
            EXPECT_EQ(e.Message(), Cp932("OS 機能呼び出しの失敗"));
            EXPECT_EQ(e.ErrorCode(), 0);
        }
        EXPECT_TRUE(NoEntryPointBound()) << "attempt " << attempt;
    }
    SetClientLibraryPath(KX27_FAKE_CLIENT);
    EXPECT_TRUE(TryLoadClient());
    EXPECT_NE(ClientApi().isc_dsql_fetch, nullptr);
    EXPECT_NE(ClientApi().isc_encode_timestamp, nullptr);
}

TEST(ClientBinding, VersionFiveLibraryGetsStubsThatNameTheirEntryPoint)
{
    UseFakeClient(KX27_FAKE_CLIENT_V5);
    EXPECT_EQ(ClientVersion(), 5);
    const TClientApi& api = ClientApi();
    ISC_STATUS* sv = ThreadStatusVector();
    isc_tr_handle tr = 1;
    isc_svc_handle svc = 1;
    ISC_DATE date = 0;
    ISC_TIME time = 0;
    ISC_TIMESTAMP stamp = {};
    struct tm tm = {};
    const struct {
        const char* name;
        std::function<void()> call;
    } stubs[] = {
        {"isc_rollback_retaining", [&] { api.isc_rollback_retaining(sv, &tr); }},
        {"isc_service_attach", [&] { api.isc_service_attach(sv, 0, "x", &svc, 0, nullptr); }},
        {"isc_service_detach", [&] { api.isc_service_detach(sv, &svc); }},
        {"isc_service_query", [&] { api.isc_service_query(sv, &svc, nullptr, 0, nullptr, 0, nullptr, 0, nullptr); }},
        {"isc_service_start", [&] { api.isc_service_start(sv, &svc, nullptr, 0, nullptr); }},
        {"isc_decode_sql_date", [&] { api.isc_decode_sql_date(&date, &tm); }},
        {"isc_decode_sql_time", [&] { api.isc_decode_sql_time(&time, &tm); }},
        {"isc_decode_timestamp", [&] { api.isc_decode_timestamp(&stamp, &tm); }},
        {"isc_encode_sql_date", [&] { api.isc_encode_sql_date(&tm, &date); }},
        {"isc_encode_sql_time", [&] { api.isc_encode_sql_time(&tm, &time); }},
        {"isc_encode_timestamp", [&] { api.isc_encode_timestamp(&tm, &stamp); }},
    };
    for (const auto& stub : stubs) {
        try {
            stub.call();
            ADD_FAILURE() << stub.name << " did not raise";
        } catch (const EIBClientError& e) {
            EXPECT_EQ(e.SqlErrorCode(), 3) << stub.name;
            EXPECT_EQ(e.Message(), std::string(stub.name) +
                                       Cp932(" は InterBase6 の機能です。この機能を使うには InterBase6 "
                                             "にアップグレードする必要があります。"));
        }
    }
}

TEST(ClientBinding, RealLibraryIsVersionSix)
{
    UseRealClient();
    EXPECT_EQ(ClientVersion(), 6);
    EXPECT_NE(ClientApi().isc_rollback_retaining, nullptr);
}

// The layer reads information replies and VARCHAR lengths itself: it must
// agree with the library's reading, sign and all, for every length.
TEST(ClientBinding, VaxIntegerReadsAsTheLibraryDoes)
{
    UseRealClient();
    EnsureClientLoaded();
    const char samples[][4] = {{'\x01', '\x00', '\x00', '\x00'}, {'\xFF', '\xFF', '\xFF', '\xFF'},
                               {'\x15', '\x80', '\x7F', '\x80'}, {'\xFE', '\x7F', '\x01', '\x7F'}};
    for (const auto& bytes : samples)
        for (int length = 0; length <= 5; ++length) {
            char buffer[8] = {};
            std::copy(bytes, bytes + 4, buffer);
            EXPECT_EQ(VaxInteger(buffer, length), ClientApi().isc_vax_integer(buffer, static_cast<short>(length)))
                << "length " << length << " first byte " << int(static_cast<unsigned char>(bytes[0]));
        }
}
