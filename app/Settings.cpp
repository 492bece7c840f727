#include "Settings.h"

#include "UnitV.h"

#include <SysUtils.h>
#include <TextFile.h>

#include <exception>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <unistd.h>
#endif

const char* const DefaultServerPrefix = "127.0.0.1:";
const char* const DefaultDataFolder = "C:\\data\\";
const char* const DefaultDatabaseFileName = "ADDRESS.FDB";

namespace {

#ifdef _WIN32
constexpr const char* PathSeparators = "\\/:";
#else
constexpr const char* PathSeparators = "/";
#endif

// Index of the last separator, or npos. Windows paths are CP932, so whole
// characters are walked there: the second byte of a two-byte character (0x5C
// in "\x83\x5C", ソ) is no backslash. On POSIX the path's bytes are taken as
// they are ('/' is never part of a multi-byte character).
std::size_t LastSeparator(const std::string& path)
{
#ifdef _WIN32
    std::size_t last = std::string::npos;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (IsLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
            ++i;
            continue;
        }
        if (std::string_view(PathSeparators).find(path[i]) != std::string_view::npos)
            last = i;
    }
    return last;
#else
    return path.find_last_of(PathSeparators);
#endif
}

} // namespace

void LoadSettings(const std::string& path, WindowPosition& window)
{
    ServerPrefix = DefaultServerPrefix;
    DataFolder = DefaultDataFolder;
    DatabaseFileName = DefaultDatabaseFileName;
    if (!FileExists(path))
        return;
    try {
        TTextReader reader(path);
        std::string line;
        reader.ReadLine(line);
        ServerPrefix = line;
        reader.ReadLine(line);
        DataFolder = line;
        reader.ReadLine(line);
        DatabaseFileName = line;
        reader.ReadLine(line);
        window.SetLeft(StrToIntOrZero(line));
        reader.ReadLine(line);
        window.SetTop(StrToIntOrZero(line));
        reader.Close();
    } catch (const std::exception&) {
        // A bad settings file is as good as none; the reader closes itself.
    }
}

void SaveSettings(const std::string& path, const WindowPosition& window)
{
    try {
        // Written beside the old file and put in its place only when whole:
        // a failed save keeps the user's connection settings for the next start.
        TTextWriter writer;
        writer.CreateReplacing(path);
        writer.WriteLine(ServerPrefix);
        writer.WriteLine(DataFolder);
        writer.WriteLine(DatabaseFileName);
        writer.WriteLine(IntToStr(window.Left()));
        writer.WriteLine(IntToStr(window.Top()));
        writer.Close();
    } catch (const std::exception&) {
        // Closing reports nothing; the writer has removed what it wrote. A
        // folder that takes no new file keeps the old file untouched, so what
        // is lost then is this session's window position (the connection
        // settings are never changed by the program).
    }
}

std::string ExecutablePath()
{
#ifdef _WIN32
    char buffer[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, n);
#else
    std::string buffer(PATH_MAX, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
#endif
}

std::string ExecutableFolderOf(const std::string& exePath)
{
    std::size_t sep = LastSeparator(exePath);
    return sep == std::string::npos ? std::string() : exePath.substr(0, sep + 1);
}

std::string SettingsPathOf(const std::string& exePath)
{
    std::size_t nameStart = ExecutableFolderOf(exePath).size();
    std::size_t dot = exePath.rfind('.');
    if (dot == std::string::npos || dot < nameStart)
        return exePath + ".dat";
    return exePath.substr(0, dot) + ".dat";
}
