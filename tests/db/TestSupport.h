// What the layer's tests share: the choice of client library, the test
// databases, and expected texts written in UTF-8 and compared as CP932.
#pragma once

#include <IB.h>
#include <IBDatabase.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// Every test names the client library it runs against before it constructs
// a component. The fake's script is reset; the fake's other builds are
// KX27_FAKE_CLIENT_V5 and KX27_FAKE_CLIENT_NOFETCH.
void UseFakeClient(const std::string& library = KX27_FAKE_CLIENT);
void UseRealClient();

// The CP932 bytes of a UTF-8 text (the layer's texts are CP932).
std::string Cp932(const std::string& utf8);

// The test server is named by the environment ./test.sh sets for the private
// server it starts: KX27_TEST_SERVER, the connection prefix ("127.0.0.1/3051:"),
// and KX27_TEST_SERVER_DIR, the server's folder for test databases, with its
// trailing slash. A test that needs the server skips itself without one:
//     SKIP_WITHOUT_TEST_SERVER();
bool TestServerNamed();
extern const char* const kNoTestServer;
#define SKIP_WITHOUT_TEST_SERVER()              \
    do {                                        \
        if (!TestServerNamed())                 \
            GTEST_SKIP() << kNoTestServer;      \
    } while (false)

// KX27_TEST_SERVER + KX27_TEST_SERVER_DIR + "<name>-<pid>.fdb"; throws
// std::runtime_error when the environment names no test server.
std::string ServerDatabaseName(const std::string& name);
// "<folder>/<name>.fdb" in a folder of this process's own, made by mkdtemp in
// $TMPDIR (default /tmp): opened in-process by the embedded engine.
std::string EmbeddedDatabaseName(const std::string& name);

// USER_NAME=SYSDBA and PASSWORD=copperjam.
void SetLoginParams(TIBDatabase& database);
// The option lines CreateNewDatabase appends: user, password, page size.
void SetCreateParams(TIBDatabase& database);

// Drops the database if it can be attached, and deletes its file; never throws.
void DropDatabase(const std::string& name);

// Drops the database when the test ends, however it ends.
struct TDroppedAtEnd {
    std::string name;
    ~TDroppedAtEnd() { DropDatabase(name); }
};

// The name for a test that runs on both engines, as ServerDatabaseName and
// EmbeddedDatabaseName make it, with where it is ("server", "embedded").
struct TEngineDatabase {
    const char* where;
    std::string name;
};
std::vector<TEngineDatabase> OnBothEngines(const std::string& name);

// A database created for one test and dropped at its end.
class TScratchDatabase {
public:
    // Creates the database (with the given dialect) and leaves it detached.
    explicit TScratchDatabase(std::string name, int dialect = 3);
    ~TScratchDatabase();
    TScratchDatabase(const TScratchDatabase&) = delete;
    TScratchDatabase& operator=(const TScratchDatabase&) = delete;
    const std::string& Name() const noexcept { return m_name; }

private:
    std::string m_name;
};

// Runs one statement in the transaction; raises the server error.
void ExecSql(TIBDatabase& database, TIBTransaction& transaction, const std::string& sql);
// SELECT COUNT(*) of a table, in the transaction.
long long CountRows(TIBDatabase& database, TIBTransaction& transaction, const std::string& table);
// Every row of the select as "v1|v2|...", a NULL as "<null>". An inactive
// transaction is started for it and committed after.
std::vector<std::string> SelectRows(TIBDatabase& database, TIBTransaction& transaction, const std::string& select);

// Where a parameterised test runs: the local test server or the embedded engine.
enum class TTarget { Server, Embedded };
std::string TargetName(const ::testing::TestParamInfo<TTarget>& info);

// IBDatabase1 and IBTransaction1 wired as the window wires them, on a scratch
// database of the test's engine named after the test, left connected. On the
// server without a test server named, SetUpEngine skips the test and leaves
// both unset.
class EngineTest : public ::testing::TestWithParam<TTarget> {
protected:
    void SetUpEngine(const std::string& prefix);
    void TearDown() override;

    std::unique_ptr<TScratchDatabase> m_scratch;
    std::unique_ptr<TIBDatabase> m_database;
    std::unique_ptr<TIBTransaction> m_transaction;
};

// The message of the client error f raises; a failure when it raises none or
// another code.
template <typename F>
std::string ClientErrorText(F f, int wantCode)
{
    try {
        f();
    } catch (const EIBClientError& e) {
        EXPECT_EQ(e.SqlErrorCode(), wantCode);
        return e.Message();
    }
    ADD_FAILURE() << "no client error " << wantCode;
    return {};
}
