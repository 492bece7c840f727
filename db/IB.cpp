#include "IB.h"

#include "IBIntf.h"
#include "IBMemory.h"

#include <array>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// The client error table: format texts (CP932) by client error code.
// Codes the layer never raises stay empty. 112 and 118 are ours: parameter
// buffers, database names and values that do not fit their length fields
// are refused rather than cut.
const std::array<std::string, 120>& ClientErrorTable()
{
    static const std::array<std::string, 120> table = [] {
        const struct {
            int code;
            const char* text;
        } entries[] = {
            {0, "\x95s\x96\xBE\x82\xC8\x83G\x83\x89\x81["},   // 不明なエラー
            {1, "InterBase \x82\xCC\x83\x89\x83" "C\x83u\x83\x89\x83\x8A\x81igds32.dll\x81j\x82\xAA\x83V\x83X\x83" "e\x83\x80\x82\xA9\x82\xE7\x8C\xA9\x82\xC2\x82\xAF\x82\xE7\x82\xEA\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81" "B\x82\xB1\x82\xCC\x8B@\x94\\\x82\xF0\x8Eg\x82\xA4\x82\xC9\x82\xCD InterBase \x82\xF0\x83" "C\x83\x93\x83X\x83g\x81[\x83\x8B\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81" "B"},   // InterBase のライブラリ（gds32.dll）がシステムから見つけられませんでした。この機能を使うには InterBase をインストールしてください。
            {3, "%s \x82\xCD InterBase6 \x82\xCC\x8B@\x94\\\x82\xC5\x82\xB7\x81" "B\x82\xB1\x82\xCC\x8B@\x94\\\x82\xF0\x8Eg\x82\xA4\x82\xC9\x82\xCD InterBase6 \x82\xC9\x83" "A\x83" "b\x83v\x83O\x83\x8C\x81[\x83h\x82\xB7\x82\xE9\x95K\x97v\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB7\x81" "B"},   // %s は InterBase6 の機能です。この機能を使うには InterBase6 にアップグレードする必要があります。
            {4, "\x83T\x83|\x81[\x83g\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xC8\x82\xA2\x8B@\x94\\"},   // サポートされていない機能
            {5, "\x8B\x96\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // 許されていません。
            {11, "DPB \x92\xE8\x90\x94 (isc_dpb_%s) \x82\xCD\x83T\x83|\x81[\x83g\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // DPB 定数 (isc_dpb_%s) はサポートされていません。
            {13, "TPB \x92\xE8\x90\x94 (isc_tpb_%s) \x82\xCD\x83T\x83|\x81[\x83g\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // TPB 定数 (isc_tpb_%s) はサポートされていません。
            {15, "\x8Ew\x92\xE8\x82\xB3\x82\xEA\x82\xBD\x8D\xEC\x8B\xC6\x82\xF0\x8E\xC0\x8Ds\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81" "BDB \x82\xAA\x8AJ\x82\xA9\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // 指定された作業を実行できません。DB が開かれていません。
            {16, "\x8Ew\x92\xE8\x82\xB3\x82\xEA\x82\xBD\x8D\xEC\x8B\xC6\x82\xF0\x8E\xC0\x8Ds\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81" "BDB \x82\xAA\x8AJ\x82\xA9\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81" "B"},   // 指定された作業を実行できません。DB が開かれています。
            {17, "\x83" "f\x81[\x83^\x83x\x81[\x83X\x96\xBC\x82\xAA\x8Ew\x92\xE8\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // データベース名が指定されていません。
            {18, "\x83g\x83\x89\x83\x93\x83U\x83N\x83V\x83\x87\x83\x93\x82\xAA\x97L\x8C\xF8\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // トランザクションが有効ではありません。
            {19, "\x83g\x83\x89\x83\x93\x83U\x83N\x83V\x83\x87\x83\x93\x82\xAA\x97L\x8C\xF8\x82\xC5\x82\xB7\x81" "B"},   // トランザクションが有効です。
            {20, "\x83^\x83" "C\x83\x80\x83" "A\x83" "E\x83g\x82\xCC\x8A\xFA\x8A\xD4\x82\xCD\x95\x89\x82\xCC\x92l\x82\xC9\x82\xCD\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // タイムアウトの期間は負の値にはできません。
            {21, "\x83g\x83\x89\x83\x93\x83U\x83N\x83V\x83\x87\x83\x93 \x83R\x83\x93\x83|\x81[\x83l\x83\x93\x83g\x82\xCC\x88\xEA\x97\x97\x82\xC9\x83" "f\x81[\x83^\x83x\x81[\x83X\x82\xAA\x97\xF1\x8B\x93\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // トランザクション コンポーネントの一覧にデータベースが列挙されていません。
            {24, "\x83" "f\x81[\x83^\x83x\x81[\x83X\x82\xAA\x8A\x84\x82\xE8\x93\x96\x82\xC4\x82\xE7\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // データベースが割り当てられていません。
            {25, "\x83g\x83\x89\x83\x93\x83U\x83N\x83V\x83\x87\x83\x93\x82\xAA\x8A\x84\x82\xE8\x93\x96\x82\xC4\x82\xE7\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // トランザクションが割り当てられていません。
            {26, "XSQLDA \x83" "C\x83\x93\x83" "f\x83" "b\x83N\x83X\x82\xAA\x94\xCD\x88\xCD\x8AO\x82\xC5\x82\xB7\x81" "B"},   // XSQLDA インデックスが範囲外です。
            {30, "\x95s\x90\xB3\x82\xC8\x83X\x83" "e\x81[\x83g\x83\x81\x83\x93\x83g \x83n\x83\x93\x83h\x83\x8B"},   // 不正なステートメント ハンドル
            {31, "IBSQ \x82\xCD\x8AJ\x82\xA2\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81" "B"},   // IBSQ は開いています。
            {32, "IBSQ \x82\xCD\x95\xC2\x82\xB6\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81" "B"},   // IBSQ は閉じています。
            {33, "\x83" "f\x81[\x83^\x83Z\x83" "b\x83g\x82\xCD\x8AJ\x82\xA2\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81" "B"},   // データセットは開いています。
            {35, "SQL \x83" "f\x81[\x83^\x8C^ (%d) \x82\xAA\x95s\x96\xBE\x82\xC5\x82\xB7\x81" "B"},   // SQL データ型 (%d) が不明です。
            {38, "\x95s\x90\xB3\x82\xC8\x8C^\x95\xCF\x8A\xB7"},   // 不正な型変換
            {42, "\x96\xE2\x82\xA2\x8D\x87\x82\xED\x82\xB9\x82\xAA\x8B\xF3"},   // 問い合わせが空
            {46, "\x8D\x80\x96\xDA \"%s\" \x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // 項目 "%s" が見つかりません。
            {53, "\x83o\x83" "b\x83t\x83@\x82\xAA\x97p\x88\xD3\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // バッファが用意されていません。
            {55, "SQL \x83p\x81[\x83T\x81[\x83G\x83\x89\x81[\x81" "F\r\n\r\n%s"},   // SQL パーサーエラー：<CR LF><CR LF>%s
            {62, "\x8B\xAD\x90\xA7\x93I\x82\xC9\x90\xD8\x82\xE9\x82\xA9\x81" "A\x83g\x83\x89\x83\x93\x83U\x83N\x83V\x83\x87\x83\x93\x82\xAA\x83^\x83" "C\x83\x80\x83" "A\x83" "E\x83g\x82\xB5\x82\xC8\x82\xA2\x8C\xC0\x82\xE8\x81" "A\x8B\xA4\x97L\x83g\x83\x89\x83\x93\x83U\x83N\x83V\x83\x87\x83\x93\x82\xF0\x8FI\x82\xED\x82\xE7\x82\xB9\x82\xE9\x82\xB1\x82\xC6\x82\xCD\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // 強制的に切るか、トランザクションがタイムアウトしない限り、共有トランザクションを終わらせることはできません。
            {65, "SQL \x95\xB6\x82\xAA\x8B\xF3\x82\xC5\x82\xB7\x81" "B"},   // SQL 文が空です。
            {66, "Select \x95\xB6\x82\xF0\x8Eg\x82\xA4\x82\xC9\x82\xCD Open \x82\xF0\x8Eg\x82\xC1\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81" "B"},   // Select 文を使うには Open を使ってください。
            {67, "\x95K\x90{\x83p\x83\x89\x83\x81\x81[\x83^\x82\xCC\x92l\x82\xAA\x8Ew\x92\xE8\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B"},   // 必須パラメータの値が指定されていません。
            {87, "SQL \x94h\x90\xB6\x8C\xBE\x8C\xEA\x82\xAA\x95s\x90\xB3\x82\xC5\x82\xB7\x81" "B"},   // SQL 派生言語が不正です。
            {112, "%0:s \x82\xAA\x92\xB7\x82\xB7\x82\xAC\x82\xDC\x82\xB7\x81i%1:d \x83o\x83" "C\x83g\x81" "B\x8F\xE3\x8C\xC0\x82\xCD %2:d \x83o\x83" "C\x83g\x82\xC5\x82\xB7\x81j\x81" "B"},   // %0:s が長すぎます（%1:d バイト。上限は %2:d バイトです）。
            {114, "\x95s\x96\xBE\x82\xC8 DPB \x92\xE8\x90\x94 (%s)"},   // 不明な DPB 定数 (%s)
            {115, "\x95s\x96\xBE\x82\xC8 TPB \x92\xE8\x90\x94 (%s)"},   // 不明な TPB 定数 (%s)
            {116, "\x95s\x96\xBE\x82\xC8\x83G\x83\x89\x81[ - \x83v\x83\x89\x83\x93\x82\xF0\x8E\xC0\x8Ds\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1"},   // 不明なエラー - プランを実行できません
            {117, "\x83T\x83" "C\x83Y\x95s\x88\xEA\x92v - \x83t\x83" "B\x81[\x83\x8B\x83h %s \x82\xCC\x91\xE5\x82\xAB\x82\xB3\x82\xC5\x82\xCD\x83" "f\x81[\x83^\x82\xF0\x8Ai\x94[\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1"},   // サイズ不一致 - フィールド %s の大きさではデータを格納できません
            {118, "\x83p\x83\x89\x83\x81\x81[\x83^ %0:s \x82\xCC\x92l\x82\xAA\x92\xB7\x82\xB7\x82\xAC\x82\xDC\x82\xB7\x81i%1:d \x83o\x83" "C\x83g\x81" "B\x8F\xE3\x8C\xC0\x82\xCD 255 \x83o\x83" "C\x83g\x82\xC5\x82\xB7\x81j\x81" "B"},   // パラメータ %0:s の値が長すぎます（%1:d バイト。上限は 255 バイトです）。
            {119, "\x92\xB7\x82\xB3 %0:d \x82\xCC\x95\xB6\x8E\x9A\x97\xF1\x82\xF0\x92\xB7\x82\xB3 %1:d \x82\xB5\x82\xA9\x8Ai\x94[\x82\xC5\x82\xAB\x82\xC8\x82\xA2\x83t\x83" "B\x81[\x83\x8B\x83h\x82\xC9\x95\xDB\x91\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD"},   // 長さ %0:d の文字列を長さ %1:d しか格納できないフィールドに保存しました
        };
        std::array<std::string, 120> t;
        for (const auto& e : entries)
            t[static_cast<std::size_t>(e.code)] = e.text;
        return t;
    }();
    return table;
}

std::mutex& OptionsLock()
{
    static std::mutex lock;
    return lock;
}

unsigned& OptionsValue()
{
    static unsigned options = static_cast<unsigned>(TIBErrorMessage::IncludeServerText) |
                              static_cast<unsigned>(TIBErrorMessage::IncludeSqlText);
    return options;
}

bool Has(unsigned options, TIBErrorMessage flag)
{
    return (options & static_cast<unsigned>(flag)) != 0;
}

thread_local ISC_STATUS_ARRAY tStatusVector = {};

} // namespace

const std::string& ClientErrorFormat(int code)
{
    static const std::string none;
    if (code < 0 || code >= static_cast<int>(ClientErrorTable().size()))
        return none;
    return ClientErrorTable()[static_cast<std::size_t>(code)];
}

ISC_STATUS* ThreadStatusVector()
{
    return tStatusVector;
}

unsigned ErrorMessageOptions()
{
    std::lock_guard<std::mutex> guard(OptionsLock());
    return OptionsValue();
}

void SetErrorMessageOptions(unsigned options)
{
    std::lock_guard<std::mutex> guard(OptionsLock());
    OptionsValue() = options;
}

void RaiseServerError()
{
    const TClientApi& api = ClientApi();
    ISC_STATUS* status = ThreadStatusVector();
    const int engineCode = static_cast<int>(status[1]);
    unsigned options = ErrorMessageOptions();
    const int sqlCode = static_cast<int>(api.isc_sqlcode(status));

    std::string message;
    if (Has(options, TIBErrorMessage::IncludeSqlCode))
        message = "SQLCODE: " + IntToStr(sqlCode);
    // The SQL-level text (isc_sql_interprete) is never part of the message.
    options &= ~static_cast<unsigned>(TIBErrorMessage::IncludeSqlText);
    if (Has(options, TIBErrorMessage::IncludeServerText)) {
        if (Has(options, TIBErrorMessage::IncludeSqlCode))
            message += "\r\n";
        // isc_interprete takes no buffer size; this one holds any line it
        // writes. It advances the cursor past each cluster it interprets.
        static thread_local char buffer[20480];
        ISC_STATUS* cursor = status;
        while (api.isc_interprete(buffer, &cursor) > 0) {
            if (!message.empty() && message.back() != '\n')
                message += "\r\n";
            message.append(buffer, strnlen(buffer, sizeof buffer));
        }
    }
    if (!message.empty() && message.back() == '.')
        message.pop_back();
    if (sqlCode == -551)
        throw EIBInterBaseRoleError(sqlCode, engineCode, message);
    throw EIBInterBaseError(sqlCode, engineCode, message);
}

void RaiseClientError(int code, const std::vector<FormatArg>& args)
{
    throw EIBClientError(code, Format(ClientErrorFormat(code), args));
}

bool StatusVectorHas(std::initializer_list<ISC_STATUS> codes)
{
    const ISC_STATUS* status = ThreadStatusVector();
    // The walk stays inside the vector even when a cluster runs off its end.
    std::size_t i = 0;
    while (i < ISC_STATUS_LENGTH && status[i] != 0) {
        const ISC_STATUS kind = status[i];
        if (kind == isc_arg_gds || kind == isc_arg_number) {
            if (i + 1 >= ISC_STATUS_LENGTH)
                break;
            for (ISC_STATUS code : codes)
                if (status[i + 1] == code)
                    return true;
            i += 2;
        } else if (kind == isc_arg_cstring) {
            i += 3;
        } else {
            i += 2;
        }
    }
    return false;
}

void* ReallocZeroedRaw(void* buffer, std::size_t oldSize, std::size_t newSize)
{
    if (newSize == 0) {
        std::free(buffer);
        return nullptr;
    }
    void* p = std::realloc(buffer, newSize);
    if (!p)
        throw std::bad_alloc();
    if (newSize > oldSize)
        std::memset(static_cast<char*>(p) + oldSize, 0, newSize - oldSize);
    return p;
}
