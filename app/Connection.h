// The database the settings name and how the program logs in to it: one
// place for the window and the commands, without Qt.
#pragma once

#include <IBDatabase.h>
#include <SourceEncoding.h>

#include <exception>
#include <string>
#include <vector>

// Who the program logs in as. The password is never printed.
struct TLogin {
    std::string User;
    std::string Password;
};

// ISC_USER and ISC_PASSWORD (the variables Firebird's own tools read) when
// both are set and not empty; otherwise the built-in SYSDBA and copperjam.
// One of them alone is ignored, and halfSet tells so: a pair taken half from
// the environment and half built in would log in as nobody meant to.
TLogin LoginFromEnvironment(bool* halfSet = nullptr);

// Server prefix, data folder and database file name (UnitV), joined as they are.
std::string ConnectionString();

// DatabaseName := the connection string; the create lines (user, password,
// page size 4096); CreateNewDatabase. Absorbs every error and returns its
// message, or "" when the database was made (it is attached then). Failing
// is the usual outcome: the database is there already. The message is also
// kept for ConnectFailureLines.
std::string CreateDatabaseAttempt(TIBDatabase& database, const TLogin& login);

// DatabaseName := the connection string, detach (a database just created is
// still attached), the connect lines. Attaching is the caller's, which
// decides what its failure means. Raises what the layer raises.
void PrepareConnect(TIBDatabase& database, const TLogin& login);

// The error's message on one line (the server's text has several, joined
// with "; "), converted to UTF-8 for the terminal.
std::string OneLineUtf8(const std::string& cp932Message);
std::string OneLineUtf8(const std::exception& error);

// What a failed connect leaves on standard error, in UTF-8 without the line
// ends: the connection string, the user and the server's own message; then,
// when the last create-database attempt failed for another reason, that
// reason (the folder not writable, say), which it then forgets.
std::vector<std::string> ConnectFailureLines(const TLogin& login, const std::string& message);

// What the window and the commands write to standard error, in UTF-8, for
// the characters of the file at path (its bytes kept as they are) that were
// stored as 〓: one line each, "<path> line 4711 column 9: U+20BB7 has no
// Shift-JIS form; stored as 〓", then one line for those not listed.
std::vector<std::string> ReplacementLines(const std::string& path, const TReplacements& replaced);

// "kx27: " + the line + "\n" on standard error; never throws.
void WriteErrorLine(const std::string& utf8);
