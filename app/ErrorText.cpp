#include "ErrorText.h"

#include <SysUtils.h>

std::string WithFullStop(const std::string& message)
{
    std::size_t last = 0;
    for (std::size_t i = 0; i < message.size();) {
        last = i;
        i += IsLeadByte(static_cast<unsigned char>(message[i])) && i + 1 < message.size() ? 2 : 1;
    }
    if (!message.empty() && message.compare(last, std::string::npos, ".") > 0)
        return message + ".";
    return message;
}

std::string InOutErrorText(int errorCode, bool systemCode)
{
    switch (systemCode ? 0 : errorCode) {
    case 2:
        return "\x83t\x83@\x83\x43\x83\x8B\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1";  // ファイルが見つかりません
    case 3:
        return "\x95s\x90\xB3\x82\xC8\x83t\x83@\x83\x43\x83\x8B\x96\xBC\x82\xC5\x82\xB7";  // 不正なファイル名です
    case 4:
        return "\x83I\x81[\x83v\x83\x93\x82\xB5\x82\xBD\x83t\x83@\x83\x43\x83\x8B\x82\xAA\x91\xBD\x82\xB7\x82\xAC\x82\xDC\x82\xB7";  // オープンしたファイルが多すぎます
    case 5:
        return "\x83t\x83@\x83\x43\x83\x8B\x82\xD6\x82\xCC\x83\x41\x83N\x83Z\x83X\x82\xAA\x8B\x91\x94\xDB\x82\xB3\x82\xEA\x82\xDC\x82\xB5\x82\xBD";  // ファイルへのアクセスが拒否されました
    case 100:
        return "\x83t\x83@\x83\x43\x83\x8B\x82\xCC\x96\x96\x94\xF6\x88\xC8\x8D~\x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDD\x82\xDC\x82\xB5\x82\xBD";  // ファイルの末尾以降を読み込みました
    case 101:
        return "\x83\x66\x83\x42\x83X\x83N\x82\xAA\x82\xA2\x82\xC1\x82\xCF\x82\xA2\x82\xC5\x82\xB7";  // ディスクがいっぱいです
    case 106:
        return "\x93\xFC\x97\xCD\x92l\x82\xAA\x90\x94\x92l\x82\xC5\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1";  // 入力値が数値ではありません
    default:
        return Format("I/O \x83G\x83\x89\x81[ (%d)", {std::int64_t{errorCode}});  // I/O エラー (%d)
    }
}

std::string ErrorBoxText(std::exception_ptr error)
{
    if (!error)
        return {};
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const EInOutError& e) {
        message = InOutErrorText(e.ErrorCode(), e.IsSystemCode());
    } catch (const Exception& e) {
        message = e.Message();
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "\x95s\x96\xBE\x82\xC8\x97\xE1\x8AO\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD";  // 不明な例外が発生しました
    }
    return WithFullStop(message);
}
