// What the build and search tests share: a source folder with KEN_ALL.CSV,
// the window's three components on an embedded scratch database, a view that
// records what it is told, and row reads that do not go through the query.
#pragma once

#include "TempFolder.h"
#include "TestSupport.h"

#include <BuildView.h>
#include <DictionaryBuild.h>
#include <IBQuery.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A folder of its own with the source file in it, removed at the end.
class TSourceFolder {
public:
    std::string SourcePath() const { return (Dir() / "KEN_ALL.CSV").string(); }
    void Write(const std::string& bytes) const;
    // Overwrites the source file's bytes where they are (the same file, as
    // a download writing it does), not by a new file under its name.
    void Overwrite(const std::string& bytes) const;
    // Puts a new file with these bytes in its place by a rename, as a
    // download finished elsewhere would.
    void Replace(const std::string& bytes) const;
    // Replaces the source file by one whose first read fails (EIO).
    void MakeUnreadable() const;
    // Makes the next read of the source file that is open fail (EISDIR).
    void FailReadsOfOpenFile() const;
    const std::filesystem::path& Dir() const noexcept { return m_folder.Path(); }

private:
    const TTempFolder m_folder{"kx27_build"};
};

// One source line of 15 fields with the record's seven values.
std::string SourceLine(const std::string& zip, const std::string& adk1, const std::string& adk2,
                       const std::string& adk3, const std::string& adr1, const std::string& adr2,
                       const std::string& adr3);
// n records 1000000, 1000001, ... with short katakana and kanji values.
std::string NumberedLines(int n);
// A zip archive holding the bytes as its one entry, deflated.
std::string ZipArchive(const std::string& entry, const std::string& bytes);

// Records, in order, what the build and the search show. Escape goes down at
// the given poll (1-based; 0 never); OnPhase runs after each phase line,
// OnPoll before each poll is answered.
class TRecordingView : public DictionaryBuildView, public SearchView {
public:
    void SetPhaseLine(const std::string& text) override;
    void SetProgressLine(const std::string& text) override { Shown.push_back("progress:" + text); }
    void ShowMessage(const std::string& text) override { Shown.push_back("message:" + text); }
    bool EscapeDown() override;
    void EnableBuildButton(bool on) override { Shown.push_back(on ? "enable" : "disable"); }
    void EnableSearchButton(bool on) override { Shown.push_back(on ? "enable search" : "disable search"); }
    void ClearMemo() override { Memo.clear(); }
    void AddMemoLine(const std::string& line) override { Memo.push_back(line); }
    bool TableExists(const std::string& name) override;
    void CharactersReplaced(const std::string& path, const TReplacements& replaced) override
    {
        Shown.push_back("replaced:" + std::to_string(replaced.Count));
        Replaced = replaced;
    }

    std::vector<std::string> Shown;
    TReplacements Replaced;
    std::vector<std::string> Memo;
    int Polls = 0;
    int EscapeAtPoll = 0;
    TIBDatabase* Database = nullptr;            // answers TableExists by listing; not owned
    std::function<bool()> TableExistsAnswer;    // when set, answers instead
    std::function<void(const std::string&)> OnPhase;
    std::function<void(int poll)> OnPoll;
};

// IBDatabase1, IBTransaction1 and IBQuery1 wired as the window wires them,
// on an embedded scratch database named after the test (forced writes off),
// left connected.
class EmbeddedBuild : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Rows of a select, columns joined with "|", NULL as "<null>".
    std::vector<std::string> Rows(const std::string& select);
    long long Count(const std::string& table);
    void Exec(const std::string& sql);
    // Runs the build on the folder's source file with the view.
    void Build();

    TSourceFolder m_folder;
    std::unique_ptr<TScratchDatabase> m_scratch;
    std::unique_ptr<TIBDatabase> m_database;
    std::unique_ptr<TIBTransaction> m_transaction;
    std::unique_ptr<TIBQuery> m_query;
    TColumnWidths m_widths{};
    std::unique_ptr<TDictionaryBuild> m_build;
    TRecordingView m_view;
};

// The last n entries (all when there are fewer).
std::vector<std::string> Tail(const std::vector<std::string>& v, std::size_t n);

// The text of the error f raises; "" and a failure when it raises none.
std::string RaisedText(const std::function<void()>& f);
