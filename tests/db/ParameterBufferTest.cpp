// The attach (DPB) and transaction (TPB) parameter buffers built from option lines.
#include "TestSupport.h"

#include <IBDatabase.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string Bytes(std::initializer_list<int> bytes)
{
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s;
}

struct TRefusal {
    int code;             // client error code; 0: EConvertError
    std::string message;
};

template <typename Build>
TRefusal Refusal(Build build, const TStringList& params)
{
    try {
        build(params);
    } catch (const EIBClientError& e) {
        return {e.SqlErrorCode(), e.Message()};
    } catch (const EConvertError& e) {
        return {0, e.Message()};
    }
    return {-1, "accepted"};
}

std::string ConversionMessage(const std::string& value)
{
    try {
        StrToInt(value);
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return "converted";
}

} // namespace

TEST(DPB, ItemsFollowTheirKinds)
{
    const std::string v1 = Bytes({1});
    const struct {
        const char* name;
        TStringList params;
        std::string want;
    } cases[] = {
        {"empty", {}, v1},
        {"login", {"USER_NAME=SYSDBA", "PASSWORD=copperjam"},
         v1 + Bytes({28, 6}) + "SYSDBA" + Bytes({29, 9}) + "copperjam"},
        {"lower case", {"user_name=SYSDBA"}, v1 + Bytes({28, 6}) + "SYSDBA"},
        {"isc_dpb_ prefix", {"isc_dpb_user_name=SYSDBA"}, v1 + Bytes({28, 6}) + "SYSDBA"},
        {"value kept as written", {"password= a=b "}, v1 + Bytes({29, 5}) + " a=b "},
        {"empty value", {"sql_role_name="}, v1 + Bytes({60, 0})},
        {"line without =", {"PAGE_SIZE 4096", "user_name=X"}, v1 + Bytes({28, 1}) + "X"},
        {"blank name", {" =x", "\t=y", "=z"}, v1},
        {"dialect digit", {"sql_dialect=3"}, v1 + Bytes({63, 1, 3})},
        {"byte value cut to 8 bits", {"num_buffers=300"}, v1 + Bytes({5, 1, 44})},
        {"byte kinds", {"verify=1", "dbkey_scope=0", "damaged=2", "force_write=1", "no_reserve=0"},
         v1 + Bytes({9, 1, 1, 13, 1, 0, 17, 1, 2, 24, 1, 1, 27, 1, 0})},
        {"32-bit value", {"sweep_interval=20000"}, v1 + Bytes({22, 4, 32, 78, 0, 0})},
        {"negative 32-bit value", {"sweep_interval=-2"}, v1 + Bytes({22, 4, 0xFE, 0xFF, 0xFF, 0xFF})},
        {"sweep ignores its value", {"sweep=99"}, v1 + Bytes({10, 1, 2})},
        {"flags ignore their value", {"activate_shadow=7", "delete_shadow=", "begin_log=x", "quit_log=1"},
         v1 + Bytes({21, 1, 0, 23, 1, 0, 25, 1, 0, 26, 1, 0})},
        {"string kinds", {"license=l", "sys_user_name=s", "encrypt_key=e", "password_enc=p", "lc_messages=m",
                          "lc_ctype=SJIS_0208"},
         v1 + Bytes({18, 1}) + "l" + Bytes({19, 1}) + "s" + Bytes({20, 1}) + "e" + Bytes({30, 1}) + "p" +
             Bytes({47, 1}) + "m" + Bytes({48, 9}) + "SJIS_0208"},
        {"255-byte value", {"password=" + std::string(255, 'p')}, v1 + Bytes({29, 255}) + std::string(255, 'p')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BuildDPB(c.params), c.want) << c.name;
}

TEST(DPB, RefusedLinesNameTheParameter)
{
    const struct {
        const char* name;
        TStringList params;
        int code;
        std::string message;
    } cases[] = {
        {"known, not accepted", {"page_size=4096"}, 11,
         Cp932("DPB 定数 (isc_dpb_page_size) はサポートされていません。")},
        {"known, with prefix", {"ISC_DPB_Set_Db_ReadOnly=1"}, 11,
         Cp932("DPB 定数 (isc_dpb_set_db_readonly) はサポートされていません。")},
        {"unknown", {"USER=SYSDBA"}, 114, Cp932("不明な DPB 定数 (USER)")},
        {"leading blank", {" USER_NAME=SYSDBA"}, 114, Cp932("不明な DPB 定数 ( USER_NAME)")},
        // The runtime's own conversion error, whatever its text.
        {"not an integer", {"num_buffers=many"}, 0, ConversionMessage("many")},
        {"32-bit not an integer", {"sweep_interval="}, 0, ConversionMessage("")},
        {"empty dialect", {"sql_dialect="}, 87, Cp932("SQL 派生言語が不正です。")},
        {"value over 255 bytes", {"User_Name=" + std::string(256, 'u')}, 118,
         Cp932("パラメータ User_Name の値が長すぎます（256 バイト。上限は 255 バイトです）。")},
    };
    for (const auto& c : cases) {
        const TRefusal r = Refusal(BuildDPB, c.params);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.message, c.message) << c.name;
    }
}

TEST(DPB, BufferOverItsLengthFieldIsRefused)
{
    TStringList params;
    for (int i = 0; i < 130; ++i)
        params.Add("lc_messages=" + std::string(255, 'm'));
    const TRefusal r = Refusal(BuildDPB, params);
    EXPECT_EQ(r.code, 112);
    EXPECT_EQ(r.message, Cp932("DPB が長すぎます（33411 バイト。上限は 32767 バイトです）。"));
}

TEST(TPB, ItemsFollowTheOptionTable)
{
    const std::string v3 = Bytes({3});
    const struct {
        const char* name;
        TStringList params;
        std::string want;
    } cases[] = {
        {"empty list", {}, ""},
        {"read, blank line, wait", {"read", "", "wait"}, v3 + Bytes({8, 6})},
        {"blank lines only", {" ", "\t"}, v3},
        {"upper case", {"READ"}, v3 + Bytes({8})},
        {"table lock", {"isc_tpb_lock_read=ZIPDIC"}, v3 + Bytes({10, 6}) + "ZIPDIC"},
        {"table lock, name kept", {"LOCK_WRITE=a b"}, v3 + Bytes({11, 3}) + "a b"},
        {"value of a plain item ignored", {"nowait=yes"}, v3 + Bytes({7})},
        {"every code-byte item",
         {"consistency", "concurrency", "shared", "protected", "exclusive", "wait", "nowait", "read", "write",
          "ignore_limbo", "read_committed", "rec_version", "no_rec_version"},
         v3 + Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 14, 15, 17, 18})},
        {"255-byte table name", {"lock_read=" + std::string(255, 'T')}, v3 + Bytes({10, 255}) + std::string(255, 'T')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BuildTPB(c.params), c.want) << c.name;
}

TEST(TPB, RefusedOptionsNameTheOption)
{
    const struct {
        const char* name;
        TStringList params;
        int code;
        std::string message;
    } cases[] = {
        {"verb_time", {"verb_time"}, 13, Cp932("TPB 定数 (isc_tpb_verb_time) はサポートされていません。")},
        {"commit_time, prefixed", {"ISC_TPB_COMMIT_TIME=1"}, 13,
         Cp932("TPB 定数 (isc_tpb_commit_time) はサポートされていません。")},
        {"autocommit", {"autocommit"}, 13, Cp932("TPB 定数 (isc_tpb_autocommit) はサポートされていません。")},
        {"restart_requests", {"restart_requests"}, 13,
         Cp932("TPB 定数 (isc_tpb_restart_requests) はサポートされていません。")},
        {"no_auto_undo", {"no_auto_undo"}, 13, Cp932("TPB 定数 (isc_tpb_no_auto_undo) はサポートされていません。")},
        {"leading blank", {" read"}, 115, Cp932("不明な TPB 定数 ( read)")},
        {"unknown with value", {"Reed=1"}, 115, Cp932("不明な TPB 定数 (Reed)")},
        {"table name over 255 bytes", {"lock_read=" + std::string(256, 'T')}, 118,
         Cp932("パラメータ lock_read の値が長すぎます（256 バイト。上限は 255 バイトです）。")},
    };
    for (const auto& c : cases) {
        const TRefusal r = Refusal(BuildTPB, c.params);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.message, c.message) << c.name;
    }
}
