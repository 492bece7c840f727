#include "BuildTestSupport.h"

#include <IBSQL.h>
#include <SysUtils.h>

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

void TSourceFolder::Write(const std::string& bytes) const
{
    fs::remove(SourcePath());
    std::ofstream(SourcePath(), std::ios::binary) << bytes;
}

void TSourceFolder::Overwrite(const std::string& bytes) const
{
    std::ofstream(SourcePath(), std::ios::binary | std::ios::in | std::ios::out) << bytes;
    fs::resize_file(SourcePath(), bytes.size());
}

void TSourceFolder::Replace(const std::string& bytes) const
{
    const std::string next = SourcePath() + ".next";
    std::ofstream(next, std::ios::binary) << bytes;
    fs::rename(next, SourcePath());
}

void TSourceFolder::MakeUnreadable() const
{
    // A regular file that opens and then fails its first read with EIO.
    fs::remove(SourcePath());
    fs::create_symlink("/proc/self/mem", SourcePath());
}

void TSourceFolder::FailReadsOfOpenFile() const
{
    // The descriptor the reader holds is made one of a folder.
    const fs::path source = fs::canonical(SourcePath());
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) != source)
            continue;
        const int folder = ::open(Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(folder, 0);
        ASSERT_GE(::dup2(folder, std::stoi(entry.path().filename().string())), 0);
        ::close(folder);
        return;
    }
    ADD_FAILURE() << "the source file is not open";
}

std::string SourceLine(const std::string& zip, const std::string& adk1, const std::string& adk2,
                       const std::string& adk3, const std::string& adr1, const std::string& adr2,
                       const std::string& adr3)
{
    return "13101,\"100  \",\"" + zip + "\",\"" + adk1 + "\",\"" + adk2 + "\",\"" + adk3 + "\",\"" + adr1 + "\",\"" +
           adr2 + "\",\"" + adr3 + "\",0,0,0,0,0,0\r\n";
}

std::string NumberedLines(int n)
{
    std::string bytes;
    for (int i = 0; i < n; ++i)
        bytes += SourceLine(std::to_string(1000000 + i), "\xC4\xB3", "\xC1", "\xCF\xD9", "\x93\x8C", "\x90\xE7",
                            "\x8A\xDB");
    return bytes;
}

std::string ZipArchive(const std::string& entry, const std::string& bytes)
{
    const TTempFolder folder("kx27_zip");
    const std::string path = (folder.Path() / "made.zip").string();
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(archive, nullptr) << error;
    zip_source_t* source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
    EXPECT_GE(zip_file_add(archive, entry.c_str(), source, ZIP_FL_ENC_RAW), 0);
    EXPECT_EQ(zip_close(archive), 0);
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void TRecordingView::SetPhaseLine(const std::string& text)
{
    Shown.push_back("phase:" + text);
    if (OnPhase)
        OnPhase(text);
}

bool TRecordingView::EscapeDown()
{
    ++Polls;
    if (OnPoll)
        OnPoll(Polls);
    return Polls == EscapeAtPoll;
}

bool TRecordingView::TableExists(const std::string& name)
{
    Shown.push_back("exists?");
    if (TableExistsAnswer)
        return TableExistsAnswer();
    TStringList names;
    Database->ListTableNames(names, false);
    for (const std::string& table : names.Lines())
        if (SameText(table, name))
            return true;
    return false;
}

void EmbeddedBuild::SetUp()
{
    UseRealClient();
    m_scratch = std::make_unique<TScratchDatabase>(
        EmbeddedDatabaseName(std::string("build-") + ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    m_database = std::make_unique<TIBDatabase>("IBDatabase1");
    m_transaction = std::make_unique<TIBTransaction>("IBTransaction1");
    m_query = std::make_unique<TIBQuery>("IBQuery1");
    m_database->SetLoginPrompt(false);
    m_database->SetDefaultTransaction(m_transaction.get());
    m_database->SetDatabaseName(m_scratch->Name());
    SetLoginParams(*m_database);
    m_database->Params().Add("force_write=0");   // a commit per row; the disk need not wait
    m_transaction->SetDefaultDatabase(m_database.get());
    m_query->SetDatabase(m_database.get());
    m_query->SetTransaction(m_transaction.get());
    m_query->SetBufferChunks(1000);
    m_database->SetConnected(true);
    m_build = std::make_unique<TDictionaryBuild>(*m_database, *m_transaction, *m_query, m_widths);
    m_view.Database = m_database.get();
}

void EmbeddedBuild::TearDown()
{
    m_build.reset();
    m_query.reset();
    m_transaction.reset();
    m_database.reset();
    m_scratch.reset();
}

std::vector<std::string> EmbeddedBuild::Rows(const std::string& select)
{
    TIBTransaction reader;
    reader.SetDefaultDatabase(m_database.get());
    return SelectRows(*m_database, reader, select);
}

long long EmbeddedBuild::Count(const std::string& table)
{
    TIBTransaction reader;
    reader.SetDefaultDatabase(m_database.get());
    reader.StartTransaction();
    const long long count = CountRows(*m_database, reader, table);
    reader.Commit();
    return count;
}

void EmbeddedBuild::Exec(const std::string& sql)
{
    TIBTransaction writer;
    writer.SetDefaultDatabase(m_database.get());
    writer.StartTransaction();
    ExecSql(*m_database, writer, sql);
    writer.Commit();
}

void EmbeddedBuild::Build()
{
    m_build->Run(m_folder.SourcePath(), m_view);
}

std::string RaisedText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EInOutError& e) {
        return "I/O " + std::to_string(e.ErrorCode());
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {   // EStopped
        return e.what();
    }
    ADD_FAILURE() << "nothing raised";
    return {};
}

std::vector<std::string> Tail(const std::vector<std::string>& v, std::size_t n)
{
    return {v.end() - static_cast<std::ptrdiff_t>(std::min(n, v.size())), v.end()};
}
