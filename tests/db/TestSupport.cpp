#include "TestSupport.h"

#include "FakeScript.h"
#include "TempFolder.h"

#include <IBIntf.h>
#include <IBSQL.h>

#include <cstdlib>
#include <filesystem>
#include <iconv.h>
#include <stdexcept>
#include <unistd.h>

namespace {

bool gRealLoaded = false;

} // namespace

void UseFakeClient(const std::string& library)
{
    SetClientLibraryPath(library);
    UnloadClientLibrary();
    gRealLoaded = false;
    fake::Reset();
}

void UseRealClient()
{
    // The real library is loaded once per process and never swapped back
    // in after a fake, so its engine is not unloaded under its own threads.
    if (gRealLoaded)
        return;
    SetClientLibraryPath("");
    UnloadClientLibrary();
    gRealLoaded = true;
}

std::string Cp932(const std::string& utf8)
{
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error("iconv_open");
    std::string in = utf8;
    std::string out(in.size() * 2 + 16, '\0');
    char* src = in.data();
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1))
        throw std::runtime_error("iconv: " + utf8);
    out.resize(out.size() - dstLeft);
    return out;
}

const char* const kNoTestServer = "no test server: ./test.sh starts one, or set KX27_TEST_SERVER "
                                  "(e.g. 127.0.0.1/3051:) and KX27_TEST_SERVER_DIR (its folder for "
                                  "test databases, with the trailing slash)";

namespace {

const char* NonEmptyEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

} // namespace

bool TestServerNamed()
{
    return NonEmptyEnv("KX27_TEST_SERVER") != nullptr;
}

std::string ServerDatabaseName(const std::string& name)
{
    const char* server = NonEmptyEnv("KX27_TEST_SERVER");
    if (!server)
        throw std::runtime_error(kNoTestServer);
    const char* folder = NonEmptyEnv("KX27_TEST_SERVER_DIR");
    if (!folder)
        throw std::runtime_error("KX27_TEST_SERVER is set but KX27_TEST_SERVER_DIR is not");
    return std::string(server) + folder + name + "-" + std::to_string(getpid()) + ".fdb";
}

std::string EmbeddedDatabaseName(const std::string& name)
{
    // This process's folder, removed when the process ends.
    const char* tmp = NonEmptyEnv("TMPDIR");
    static const TTempFolder folder("kx27-embedded", tmp ? tmp : "/tmp");
    return (folder.Path() / (name + ".fdb")).string();
}

std::vector<TEngineDatabase> OnBothEngines(const std::string& name)
{
    return {{"server", ServerDatabaseName(name)}, {"embedded", EmbeddedDatabaseName(name)}};
}

void SetLoginParams(TIBDatabase& database)
{
    database.Params().Clear();
    database.Params().Add("USER_NAME=SYSDBA");
    database.Params().Add("PASSWORD=copperjam");
}

void SetCreateParams(TIBDatabase& database)
{
    database.Params().Clear();
    database.Params().Add("USER \"SYSDBA\"");
    database.Params().Add("PASSWORD \"copperjam\"");
    database.Params().Add("PAGE_SIZE 4096");
}

TScratchDatabase::TScratchDatabase(std::string name, int dialect) : m_name(std::move(name))
{
    TIBDatabase database;
    database.SetDatabaseName(m_name);
    database.SetSQLDialect(dialect);
    SetCreateParams(database);
    database.CreateNewDatabase();
    database.SetConnected(false);
}

TScratchDatabase::~TScratchDatabase()
{
    DropDatabase(m_name);
}

void DropDatabase(const std::string& name)
{
    try {
        TIBDatabase database;
        database.SetDatabaseName(name);
        SetLoginParams(database);
        database.SetConnected(true);
        ClientApi().isc_drop_database(ThreadStatusVector(), database.HandleAddress());
    } catch (...) {
    }
    const std::size_t colon = name.find(':');
    std::error_code ignored;
    std::filesystem::remove(colon == std::string::npos ? name : name.substr(colon + 1), ignored);
}

void ExecSql(TIBDatabase& database, TIBTransaction& transaction, const std::string& sql)
{
    ISC_STATUS status = ClientApi().isc_dsql_execute_immediate(ThreadStatusVector(), database.HandleAddress(),
                                                               transaction.HandleAddress(), 0, sql.c_str(),
                                                               static_cast<unsigned short>(database.SQLDialect()),
                                                               nullptr);
    if (status)
        RaiseServerError();
}

long long CountRows(TIBDatabase& database, TIBTransaction& transaction, const std::string& table)
{
    const TClientApi& api = ClientApi();
    isc_stmt_handle statement = 0;
    alignas(XSQLDA) char area[XSQLDA_LENGTH(1)] = {};
    XSQLDA* out = reinterpret_cast<XSQLDA*>(area);
    out->version = SQLDA_VERSION1;
    out->sqln = 1;
    const std::string sql = "SELECT COUNT(*) FROM " + table;
    const unsigned short dialect = static_cast<unsigned short>(database.SQLDialect());
    long long count = -1;
    short nullFlag = 0;
    if (api.isc_dsql_alloc_statement2(ThreadStatusVector(), database.HandleAddress(), &statement))
        RaiseServerError();
    try {
        if (api.isc_dsql_prepare(ThreadStatusVector(), transaction.HandleAddress(), &statement, 0, sql.c_str(),
                                 dialect, out))
            RaiseServerError();
        XSQLVAR& var = out->sqlvar[0];
        var.sqltype = SQL_INT64 | 1;
        var.sqlscale = 0;
        var.sqllen = sizeof count;
        var.sqldata = reinterpret_cast<ISC_SCHAR*>(&count);
        var.sqlind = &nullFlag;
        if (api.isc_dsql_execute2(ThreadStatusVector(), transaction.HandleAddress(), &statement, dialect, nullptr,
                                  out))
            RaiseServerError();
    } catch (...) {
        api.isc_dsql_free_statement(ThreadStatusVector(), &statement, DSQL_drop);
        throw;
    }
    api.isc_dsql_free_statement(ThreadStatusVector(), &statement, DSQL_drop);
    return count;
}

std::vector<std::string> SelectRows(TIBDatabase& database, TIBTransaction& transaction, const std::string& select)
{
    const bool started = !transaction.Active();
    if (started)
        transaction.StartTransaction();
    TIBSQL sql;
    sql.SetDatabase(&database);
    sql.SetTransaction(&transaction);
    sql.SetGoToFirstRecordOnExecute(false);
    sql.SQL().Add(select);
    sql.ExecQuery();
    std::vector<std::string> rows;
    while (!sql.AtEnd()) {
        TIBXSQLDA* row = sql.Fetch();
        if (!row)
            break;
        std::string line;
        for (int i = 0; i < row->Count(); ++i)
            line += (i ? "|" : "") + (row->Item(i).IsNull() ? std::string("<null>") : row->Item(i).AsText());
        rows.push_back(line);
    }
    sql.Close();
    if (started)
        transaction.Commit();
    return rows;
}

std::string TargetName(const ::testing::TestParamInfo<TTarget>& info)
{
    return info.param == TTarget::Server ? "Server" : "Embedded";
}

void EngineTest::SetUpEngine(const std::string& prefix)
{
    if (GetParam() == TTarget::Server)
        SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
        if (c == '/')
            c = '-';
    name = prefix + name;
    m_scratch = std::make_unique<TScratchDatabase>(GetParam() == TTarget::Server ? ServerDatabaseName(name)
                                                                                 : EmbeddedDatabaseName(name));
    m_database = std::make_unique<TIBDatabase>("IBDatabase1");
    m_database->SetLoginPrompt(false);
    m_database->SetDatabaseName(m_scratch->Name());
    SetLoginParams(*m_database);
    m_transaction = std::make_unique<TIBTransaction>("IBTransaction1");
    m_transaction->SetDefaultDatabase(m_database.get());
    m_database->SetDefaultTransaction(m_transaction.get());
    m_database->SetConnected(true);
}

void EngineTest::TearDown()
{
    m_transaction.reset();
    m_database.reset();
    m_scratch.reset();
}
