// Server errors turned into exceptions, the client error table, and the
// status-vector scan.
#include "FakeScript.h"
#include "TestSupport.h"

#include <IB.h>
#include <IBIntf.h>
#include <IBMemory.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

void SetStatusVector(const std::vector<ISC_STATUS>& words)
{
    ISC_STATUS* sv = ThreadStatusVector();
    std::memset(sv, 0, sizeof(ISC_STATUS_ARRAY));
    for (std::size_t i = 0; i < words.size() && i < ISC_STATUS_LENGTH; ++i)
        sv[i] = words[i];
}

struct TOptionsGuard {
    unsigned saved = ErrorMessageOptions();
    ~TOptionsGuard() { SetErrorMessageOptions(saved); }
};

constexpr ISC_STATUS kFirst = 335544344;
constexpr ISC_STATUS kSecond = 335544734;
constexpr ISC_STATUS kThird = 335544345;

} // namespace

TEST(ServerError, MessageJoinsTheInterpretedLines)
{
    UseFakeClient();
    EnsureClientLoaded();
    static const char kArg[] = "arg";
    const struct {
        const char* name;
        std::vector<const char*> lines;
        std::vector<ISC_STATUS> vector;
        std::string want;
    } cases[] = {
        {"one line", {"only line"}, {1, kFirst, 0}, "only line"},
        {"CR LF between lines", {"first", "second", "third"}, {1, kFirst, 1, kSecond, 1, kThird, 0},
         "first\r\nsecond\r\nthird"},
        {"line ending in LF", {"first\n", "second"}, {1, kFirst, 1, kSecond, 0}, "first\nsecond"},
        {"final period removed", {"first.", "second."}, {1, kFirst, 1, kSecond, 0}, "first.\r\nsecond"},
        {"one period only", {"wait.."}, {1, kFirst, 0}, "wait."},
        {"argument clusters", {"first", "second"},
         {1, kFirst, 2, reinterpret_cast<ISC_STATUS>(kArg), 4, 7, 3, 3, reinterpret_cast<ISC_STATUS>(kArg), 1, kSecond, 0},
         "first\r\nsecond"},
        {"empty vector", {}, {0, 0, 0}, ""},
    };
    for (const auto& c : cases) {
        const ISC_STATUS codes[] = {kFirst, kSecond, kThird};
        for (std::size_t i = 0; i < c.lines.size(); ++i)
            fake::SetMessage(codes[i], c.lines[i]);
        fake::SetSqlCode(-902);
        SetStatusVector(c.vector);
        try {
            RaiseServerError();
        } catch (const EIBInterBaseError& e) {
            EXPECT_EQ(e.Message(), c.want) << c.name;
            EXPECT_EQ(e.EngineErrorCode(), static_cast<int>(c.vector[1])) << c.name;
            EXPECT_EQ(e.SqlErrorCode(), c.vector[1] ? -902 : 0) << c.name;
        }
    }
}

TEST(ServerError, OptionsDecideTheSqlCodeLineAndTheServerText)
{
    UseFakeClient();
    EnsureClientLoaded();
    TOptionsGuard guard;
    fake::SetMessage(kFirst, "first");
    fake::SetMessage(kSecond, "second.");
    fake::SetSqlCode(-901);
    const unsigned code = static_cast<unsigned>(TIBErrorMessage::IncludeSqlCode);
    const unsigned server = static_cast<unsigned>(TIBErrorMessage::IncludeServerText);
    const unsigned sqlText = static_cast<unsigned>(TIBErrorMessage::IncludeSqlText);
    const struct {
        unsigned options;
        std::string want;
    } cases[] = {
        {server | sqlText, "first\r\nsecond"},
        {code | server | sqlText, "SQLCODE: -901\r\nfirst\r\nsecond"},
        {code, "SQLCODE: -901"},
        {sqlText, ""},
    };
    for (const auto& c : cases) {
        SetErrorMessageOptions(c.options);
        SetStatusVector({1, kFirst, 1, kSecond, 0});
        try {
            RaiseServerError();
        } catch (const EIBInterBaseError& e) {
            EXPECT_EQ(e.Message(), c.want) << c.options;
        }
    }
}

TEST(ServerError, SqlCodeMinus551IsARoleErrorOnly)
{
    UseFakeClient();
    EnsureClientLoaded();
    fake::SetMessage(kFirst, "no permission for access.");
    fake::SetSqlCode(-551);
    SetStatusVector({1, kFirst, 0});
    bool caughtAsInterBase = false;
    try {
        try {
            RaiseServerError();
        } catch (const EIBInterBaseError&) {
            caughtAsInterBase = true;
        }
    } catch (const EIBError& e) {
        EXPECT_NE(dynamic_cast<const EIBInterBaseRoleError*>(&e), nullptr);
        EXPECT_EQ(e.SqlErrorCode(), -551);
        EXPECT_EQ(e.EngineErrorCode(), kFirst);
        EXPECT_EQ(e.Message(), "no permission for access");
    }
    EXPECT_FALSE(caughtAsInterBase);
}

TEST(ClientError, TextsAreFormattedFromTheTable)
{
    const struct {
        int code;
        std::vector<FormatArg> args;
        std::string want;
    } cases[] = {
        {35, {std::int64_t{999}}, Cp932("SQL データ型 (999) が不明です。")},
        {119, {std::int64_t{32}, std::int64_t{31}},
         Cp932("長さ 32 の文字列を長さ 31 しか格納できないフィールドに保存しました")},
        {46, {std::string("ZIP")}, Cp932("項目 \"ZIP\" が見つかりません。")},
        {55, {Cp932("パラメータ名が必要です。")}, Cp932("SQL パーサーエラー：\r\n\r\nパラメータ名が必要です。")},
        {11, {std::string("page_size")}, Cp932("DPB 定数 (isc_dpb_page_size) はサポートされていません。")},
        {114, {std::string(" USER_NAME")}, Cp932("不明な DPB 定数 ( USER_NAME)")},
        {16, {}, Cp932("指定された作業を実行できません。DB が開かれています。")},
        {18, {}, Cp932("トランザクションが有効ではありません。")},
        {21, {}, Cp932("トランザクション コンポーネントの一覧にデータベースが列挙されていません。")},
        {118, {std::string("user_name"), std::int64_t{256}},
         Cp932("パラメータ user_name の値が長すぎます（256 バイト。上限は 255 バイトです）。")},
    };
    for (const auto& c : cases) {
        try {
            RaiseClientError(c.code, c.args);
        } catch (const EIBClientError& e) {
            EXPECT_EQ(e.Message(), c.want) << c.code;
            EXPECT_EQ(e.SqlErrorCode(), c.code);
            EXPECT_EQ(e.EngineErrorCode(), 0);
        }
    }
}

TEST(ClientError, EveryCodeTheLayerRaisesHasAText)
{
    const int raised[] = {0, 1, 3, 4, 5, 11, 13, 15, 16, 17, 18, 19, 20, 21, 24, 25, 26, 30, 31, 32, 33, 35, 38,
                          42, 46, 53, 55, 62, 65, 66, 67, 87, 112, 114, 115, 116, 117, 118, 119};
    for (int code : raised)
        EXPECT_FALSE(ClientErrorFormat(code).empty()) << code;
    EXPECT_TRUE(ClientErrorFormat(-1).empty());
    EXPECT_TRUE(ClientErrorFormat(120).empty());
}

TEST(StatusVector, ScanFindsCodesOnlyWhereAClusterNamesThem)
{
    constexpr ISC_STATUS lost = 335544741;
    const ISC_STATUS text = reinterpret_cast<ISC_STATUS>("x");
    const struct {
        const char* name;
        std::vector<ISC_STATUS> vector;
        bool want;
    } cases[] = {
        {"primary code", {1, lost, 0}, true},
        {"second cluster", {1, kFirst, 1, lost, 0}, true},
        {"number argument", {1, kFirst, 4, lost, 0}, true},
        {"after a counted string", {1, kFirst, 3, 1, text, 1, lost, 0}, true},
        {"string argument word is not a code", {1, kFirst, 2, lost, 0}, false},
        {"counted string length is not a code", {1, kFirst, 3, lost, text, 0}, false},
        {"after the end", {1, kFirst, 0, 0, 1, lost}, false},
        {"success", {1, 0, 0}, false},
    };
    for (const auto& c : cases) {
        SetStatusVector(c.vector);
        EXPECT_EQ(StatusVectorHas({kThird, lost}), c.want) << c.name;
    }
    // A vector without its end word is not read past its 20 words.
    ISC_STATUS* sv = ThreadStatusVector();
    for (int i = 0; i < ISC_STATUS_LENGTH; i += 2) {
        sv[i] = 1;
        sv[i + 1] = kFirst;
    }
    EXPECT_FALSE(StatusVectorHas({lost}));
}

TEST(StatusVector, EachThreadHasItsOwn)
{
    SetStatusVector({1, kFirst, 0});
    ISC_STATUS other = -1;
    std::thread([&] { other = ThreadStatusVector()[1]; }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(ThreadStatusVector()[1], kFirst);
}

TEST(ReallocZeroed, KeepsTheContentAndZeroesTheGrowth)
{
    MallocPtr<char> buffer;
    ReallocZeroed(buffer, 0, 4);
    EXPECT_EQ(std::string(buffer.get(), 4), std::string(4, '\0'));
    std::memcpy(buffer.get(), "abcd", 4);
    ReallocZeroed(buffer, 4, 4096);
    EXPECT_EQ(std::string(buffer.get(), 4), "abcd");
    EXPECT_EQ(std::string(buffer.get() + 4, 4092), std::string(4092, '\0'));
    ReallocZeroed(buffer, 4096, 2);
    EXPECT_EQ(std::string(buffer.get(), 2), "ab");
    ReallocZeroed(buffer, 2, 0);
    EXPECT_EQ(buffer.get(), nullptr);
}
