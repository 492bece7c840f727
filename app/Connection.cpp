#include "Connection.h"

#include "Cp932Text.h"
#include "UnitV.h"

#include <SysUtils.h>

#include <cstdio>
#include <cstdlib>

namespace {

const char* const BuiltInUser = "SYSDBA";
const char* const BuiltInPassword = "copperjam";

// Why the last create-database attempt failed; empty after a success and
// once a failed connect has told it.
std::string LastCreateFailure;

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string QuotedUtf8(const std::string& cp932)
{
    return "\"" + Utf8FromCp932(cp932) + "\"";
}

} // namespace

TLogin LoginFromEnvironment(bool* halfSet)
{
    const std::string user = Environment("ISC_USER");
    const std::string password = Environment("ISC_PASSWORD");
    if (halfSet)
        *halfSet = user.empty() != password.empty();
    if (user.empty() || password.empty())
        return {BuiltInUser, BuiltInPassword};
    return {user, password};
}

std::string ConnectionString()
{
    return ServerPrefix + DataFolder + DatabaseFileName;
}

std::string CreateDatabaseAttempt(TIBDatabase& database, const TLogin& login)
{
    database.SetDatabaseName(ConnectionString());
    TStringList& params = database.Params();
    params.Clear();
    params.Add("USER " + QuotedStr(login.User, '"'));
    params.Add("PASSWORD " + QuotedStr(login.Password, '"'));
    params.Add("PAGE_SIZE 4096");
    LastCreateFailure.clear();
    try {
        database.CreateNewDatabase();
    } catch (const std::exception& e) {
        LastCreateFailure = e.what();
        if (LastCreateFailure.empty())
            LastCreateFailure = "?";
    }
    return LastCreateFailure;
}

void PrepareConnect(TIBDatabase& database, const TLogin& login)
{
    database.SetDatabaseName(ConnectionString());
    database.SetConnected(false);
    TStringList& params = database.Params();
    params.Clear();
    params.Add("USER_NAME=" + login.User);
    params.Add("PASSWORD=" + login.Password);
}

std::string OneLineUtf8(const std::string& cp932Message)
{
    std::string line;
    std::size_t from = 0;
    while (from <= cp932Message.size()) {
        std::size_t end = cp932Message.find_first_of("\r\n", from);
        if (end == std::string::npos)
            end = cp932Message.size();
        std::size_t last = end;
        if (last > from && cp932Message[last - 1] == '.')
            --last;   // the server ends each of its lines with one
        if (last > from) {
            if (!line.empty())
                line += "; ";
            line.append(cp932Message, from, last - from);
        }
        from = end + 1;
    }
    return Utf8FromCp932(line);
}

std::string OneLineUtf8(const std::exception& error)
{
    return OneLineUtf8(std::string(error.what()));
}

std::vector<std::string> ConnectFailureLines(const TLogin& login, const std::string& message)
{
    // The user as the environment gave it: its bytes are the terminal's.
    std::vector<std::string> lines{"cannot connect to the database " + QuotedUtf8(ConnectionString()) + " as \""
                                   + login.User + "\": " + OneLineUtf8(message)};
    // An unreachable server or a refused login fails both alike.
    if (!LastCreateFailure.empty() && LastCreateFailure != message)
        lines.push_back("the database could not be created either: " + OneLineUtf8(LastCreateFailure));
    LastCreateFailure.clear();
    return lines;
}

std::vector<std::string> ReplacementLines(const std::string& path, const TReplacements& replaced)
{
    std::vector<std::string> lines;
    for (const TReplacedCharacter& character : replaced.Listed)
        lines.push_back(path + " " + Utf8FromCp932(ReplacementText(character)));
    const long more = replaced.Count - static_cast<long>(replaced.Listed.size());
    if (more > 0)
        lines.push_back(path + ": " + IntToStr(more) + " more characters without a Shift-JIS form; stored as " +
                        Utf8FromCp932(ReplacementMark));
    return lines;
}

void WriteErrorLine(const std::string& utf8)
{
    std::fprintf(stderr, "kx27: %s\n", utf8.c_str());
    std::fflush(stderr);
}
