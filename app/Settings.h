// The settings file beside the executable: the three connection settings of
// UnitV and the main window's position, five CR LF lines in CP932.
#pragma once

#include <string>

// The default server address of this installation, followed by its colon.
extern const char* const DefaultServerPrefix;
extern const char* const DefaultDataFolder;
extern const char* const DefaultDatabaseFileName;

// What the settings file moves and records: the window's outer left and top.
class WindowPosition {
public:
    virtual ~WindowPosition() = default;
    virtual int Left() const = 0;
    virtual int Top() const = 0;
    virtual void SetLeft(int left) = 0;   // moves the window at once
    virtual void SetTop(int top) = 0;
};

// Resets the connection settings to their defaults, then takes each line of
// the file as soon as it is read. Any failure ends the reading silently and
// keeps what was assigned so far; a missing file leaves the defaults and the
// window where it is.
void LoadSettings(const std::string& path, WindowPosition& window);

// Writes the five lines, replacing the file in one step. Reports nothing: when
// anything fails, the old file stays as it was (or no file is left, when
// there was none); a read-only file, or one in a folder that takes no new
// file, is not replaced. A replaced file keeps its owner and group where the
// process may set them, and its permissions.
void SaveSettings(const std::string& path, const WindowPosition& window);

// The running executable's full path, as the file system spells it.
std::string ExecutablePath();
// The directory part of the path up to and including its last separator
// ('/'; on Windows also '\' and ':'); empty when there is none.
std::string ExecutableFolderOf(const std::string& exePath);
// The path with the file name's extension replaced by ".dat" (appended when
// the file name has no dot; a dot in a folder name does not count).
std::string SettingsPathOf(const std::string& exePath);
