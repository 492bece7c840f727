// The dictionary build on small source files: what it shows, what it stores,
// and that the old table survives every build that cannot make a new one.
// The embedded engine stores the rows; the fake client loses the connection.
#include "BuildTestSupport.h"
#include "FakeJournal.h"

#include <DictionaryBuild.h>
#include <IBSQL.h>
#include <ScopeExit.h>
#include <StopRequest.h>
#include <TableLimits.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string Phase(const std::string& utf8)
{
    return "phase:" + Cp932(utf8);
}

std::string Progress(const std::string& utf8)
{
    return "progress:" + Cp932(utf8);
}

const std::string kCreateFailed = "message:" + Cp932("郵便番号辞書テーブルが新規作成出来ません。");
const std::string kDropFailed =
    "message:" + Cp932("郵便番号辞書テーブルが削除出来ません。\r\n他ソフトで利用していないか確認して下さい。");

// What a build of n records that all go in shows, in order.
std::vector<std::string> FinishedBuild(int n)
{
    std::vector<std::string> want = {"disable", Phase("文字数チェック中です"), "progress:"};
    for (int k = 500; k <= n; k += 500)
        want.push_back(Progress("読取中：" + std::to_string(k) + "行目"));
    for (const std::string& s : {Phase("現在テーブル削除中"), std::string("progress:"), std::string("exists?"),
                                 Phase("新規テーブル作成中"), Phase("データ登録中"), std::string("progress:")})
        want.push_back(s);
    for (int k = 500; k <= n; k += 500)
        want.push_back(Progress("登録中：" + std::to_string(k) + "／" + std::to_string(n)));
    want.push_back(Phase("データ登録完了"));
    want.push_back(Progress("完了：" + std::to_string(n) + "／" + std::to_string(n)));
    want.push_back("enable");
    return want;
}

} // namespace

TEST(DictionaryStatements, LineForLine)
{
    TStringList lines;
    DropLines(lines);
    EXPECT_EQ(lines.Text(), "DROP TABLE ZIPDIC;\r\n");

    CreateLines({8, 20, 40, 8, 20, 40}, lines);
    EXPECT_EQ(lines.Text(),
              "CREATE TABLE ZIPDIC (\r\n"
              "  ZIP  VARCHAR(7),\r\n"
              "  ADK1 VARCHAR(8),\r\n"
              "  ADK2 VARCHAR(20),\r\n"
              "  ADK3 VARCHAR(40),\r\n"
              "  ADR1 VARCHAR(8),\r\n"
              "  ADR2 VARCHAR(20),\r\n"
              "  ADR3 VARCHAR(40)\r\n"
              "  );\r\n");

    // Empty slots are NULL; every quote byte is doubled, also one that
    // follows a lead byte.
    TDictionaryRecord record;
    record.Slots = {"06'0001", "\xCE\xAF", "", "'", "\x83'", "\x93\x8C''", ""};
    InsertLines(record, lines);
    EXPECT_EQ(lines.Text(),
              "INSERT INTO ZIPDIC (\r\n"
              "  ZIP, ADK1, ADK2, ADK3,\r\n"
              "  ADR1, ADR2, ADR3)\r\n"
              "VALUES (\r\n"
              "  '06''0001',\r\n"
              "  '\xCE\xAF',\r\n"
              "  NULL,\r\n"
              "  '''',\r\n"
              "  '\x83''',\r\n"
              "  '\x93\x8C''''',\r\n"
              "  NULL);\r\n");
}

TEST_F(EmbeddedBuild, StatusTextsAndRowsOfAFinishedBuild)
{
    const struct {
        const char* name;
        int records;
    } cases[] = {{"1,234 records", 1234}, {"fewer than 500", 3}};
    for (const auto& c : cases) {
        // A line without a record between the records is counted by neither pass.
        std::string bytes = NumberedLines(c.records) + "a,b,c\r\n";
        m_folder.Write(bytes);
        m_view = {};
        m_view.Database = m_database.get();
        Build();
        EXPECT_EQ(m_view.Shown, FinishedBuild(c.records)) << c.name;
        EXPECT_EQ(m_view.Polls, c.records + 1) << c.name << ": Escape is polled in the measuring pass only";
        EXPECT_EQ(Count("ZIPDIC"), c.records) << c.name;   // the second build replaced the first's table
        EXPECT_FALSE(m_transaction->Active()) << c.name;
        EXPECT_FALSE(m_query->Active()) << c.name;
    }
}

TEST_F(EmbeddedBuild, StoresWhatWasReadWithTheMeasuredWidths)
{
    m_folder.Write(
        // the longest values of every column but ADK3 and ADR3
        SourceLine("0600000", "\xCE\xAF\xB6\xB2\xC4\xDE\xB3", "\xBB\xAF\xCE\xDF\xDB\xBC\xC1\xAD\xB3\xB5\xB3\xB8",
                   "\xB2\xB6", "\x96\x6B\x8A\x43\x93\xB9", "\x8E\x44\x96\x79\x8E\x73\x92\x86\x89\x9B\x8B\xE6",
                   "\x88\xC8\x89\xBA\x82\xC9\x8C\x66\x8D\xDA\x82\xAA\x82\xC8\x82\xA2\x8F\xEA\x8D\x87") +
        // a quote in the ZIP and a quote carried into ADR1 by a lead byte
        SourceLine("06'0001", "\xB1", "\xB1", "\xB1\xB2\xB3", "\x83'", "\x93\x8C", "\x90\xE7\x91\xE3\x93\x63") +
        // eight bytes of ZIP: the server refuses the row, the build goes on
        SourceLine("06000021", "\xB1", "\xB1", "\xB1", "\x93\x8C", "\x93\x8C", "\x93\x8C") +
        SourceLine("0600003", "\xB1", "\xB1", "\xB1", "\x93\x8C", "\x93\x8C", "\x93\x8C"));
    Build();
    EXPECT_EQ(Tail(m_view.Shown, 3),
              (std::vector<std::string>{Phase("データ登録完了"), Progress("完了：4／4"), "enable"}));
    EXPECT_EQ(m_widths, (TColumnWidths{7, 12, 3, 6, 12, 6}));
    EXPECT_EQ(Rows("SELECT F.RDB$FIELD_LENGTH FROM RDB$RELATION_FIELDS R JOIN RDB$FIELDS F"
                   " ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE WHERE R.RDB$RELATION_NAME = 'ZIPDIC'"
                   " ORDER BY R.RDB$FIELD_POSITION"),
              (std::vector<std::string>{"7", "7", "12", "3", "6", "12", "6"}));
    // The row suppressed by "以下に" has NULL ADK3 and ADR3.
    EXPECT_EQ(Rows("SELECT ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC ORDER BY ZIP"),
              (std::vector<std::string>{
                  "06'0001|\xB1|\xB1|\xB1\xB2\xB3|\x83'|\x93\x8C|\x90\xE7\x91\xE3\x93\x63",   // a quote sorts before digits
                  "0600000|\xCE\xAF\xB6\xB2\xC4\xDE\xB3|\xBB\xAF\xCE\xDF\xDB\xBC\xC1\xAD\xB3\xB5\xB3\xB8|<null>|"
                  "\x96\x6B\x8A\x43\x93\xB9|\x8E\x44\x96\x79\x8E\x73\x92\x86\x89\x9B\x8B\xE6|<null>",
                  "0600003|\xB1|\xB1|\xB1|\x93\x8C|\x93\x8C|\x93\x8C",
              }));
}

// A UTF-8 KEN_ALL.CSV: the rows hold the CP932 of its Shift-JIS twin, the
// widths are those of the stored bytes, and a character CP932 lacks is
// stored as 〓 and told once, just before the rows are stored.
TEST_F(EmbeddedBuild, Utf8SourceFileStoresShiftJisRows)
{
    m_folder.Write(SourceLine("0600001", "ホッカイドウ", "サッポロシ", "チュウオウ", "北海道", "札幌市", "中央−１〜２") +
                   SourceLine("0600002", "ア", "ア", "イカニ", "東", "東", "以下に掲載がない場合") +
                   SourceLine("0600003", "ア", "ア", "ヨシノ", "東", "東", "𠮷野"));
    Build();
    EXPECT_EQ(Rows("SELECT ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC ORDER BY ZIP"),
              (std::vector<std::string>{"0600001|" + Cp932("ﾎｯｶｲﾄﾞｳ|ｻｯﾎﾟﾛｼ|ﾁｭｳｵｳ|北海道|札幌市|中央−１〜２"),
                                        "0600002|" + Cp932("ｱ|ｱ|<null>|東|東|<null>"),
                                        "0600003|" + Cp932("ｱ|ｱ|ﾖｼﾉ|東|東|") + "\x81\xAC" + Cp932("野")}));
    EXPECT_EQ(m_widths, (TColumnWidths{7, 6, 5, 6, 6, 12}));
    const auto told = std::find(m_view.Shown.begin(), m_view.Shown.end(), "replaced:1");
    ASSERT_NE(told, m_view.Shown.end());
    EXPECT_EQ(*std::next(told), Phase("データ登録中"));
    ASSERT_EQ(m_view.Replaced.Listed.size(), 1u);
    EXPECT_EQ(ReplacementText(m_view.Replaced.Listed[0]),
              "line 3 column 9: U+20BB7 has no Shift-JIS form; stored as \x81\xAC");
}

// A stop request (the commands' SIGTERM; the window makes none) ends the
// insert pass before its next record: the counts say how far it got, what
// was committed stays, and the stop is raised for the command to report.
TEST_F(EmbeddedBuild, StopEndsTheInsertPassBeforeItsNextRecord)
{
    m_folder.Write(NumberedLines(3));
    const TScopeExit forget([] { ClearStopRequest(); });
    m_view.OnPhase = [](const std::string& text) {
        if (text == Cp932("データ登録中"))
            RequestStop(SIGTERM);
    };
    EXPECT_THROW(Build(), EStopped);
    EXPECT_EQ(Tail(m_view.Shown, 3),
              (std::vector<std::string>{Phase("データ登録完了"), Progress("完了：0／3"), "enable"}));
    EXPECT_EQ(Count("ZIPDIC"), 0);
}

TEST_F(EmbeddedBuild, NothingWithoutConnectionOrSourceFile)
{
    m_folder.Write(NumberedLines(2));
    m_database->SetConnected(false);
    Build();
    EXPECT_TRUE(m_view.Shown.empty());

    m_database->SetConnected(true);
    std::filesystem::remove(m_folder.SourcePath());
    Build();
    EXPECT_EQ(m_view.Shown,
              std::vector<std::string>{"message:" + Cp932("郵便番号データ「KEN_ALL.CSV」が見つかりません")});
}

// Escape, a file without a usable record or with values the server cannot
// make a table of, a file that cannot be opened or read: the old table stays,
// the button comes back, and no text of the measuring pass stays behind; an
// I/O error goes to the general error handler.
TEST_F(EmbeddedBuild, OldTableStaysUnlessANewOneCanBeBuilt)
{
    const std::string suppressed = "\x88\xC8\x89\xBA\x82\xC9\x8C\x66\x8D\xDA";   // 以下に掲載
    const auto repeated = [](const std::string& s, int n) {
        std::string out;
        for (int k = 0; k < n; ++k)
            out += s;
        return out;
    };
    const struct {
        const char* name;
        std::string bytes;
        int escapeAtPoll;
        std::function<void(TSourceFolder&, const std::string& phase)> onPhase;
        bool raises;
        std::vector<std::string> wantTail;
        int failReadsAtPoll = 0;
    } cases[] = {
        {"Escape at the start", NumberedLines(3), 1, {}, false,
         {Phase("[ESC]キーを押しました"), Progress("＜中断＞"), "enable"}},
        {"no record", "a,b,c\r\n\r\n", 0, {}, false, {"progress:", "phase:", kCreateFailed, "enable"}},
        {"ADK3 and ADR3 empty in every record",
         SourceLine("0600000", "\xB1", "\xB1", "\xB1", "\x93\x8C", "\x93\x8C", suppressed), 0, {}, false,
         {"progress:", "phase:", kCreateFailed, "enable"}},
        {"ADR3 of 40,000 bytes in the 500th record",
         NumberedLines(499) +
             SourceLine("0600000", "\xB1", "\xB1", "\xB1", "\x93\x8C", "\x93\x8C", repeated("\x93\x8C", 20000)),
         0, {}, false, {Progress("読取中：500行目"), "progress:", "phase:", kCreateFailed, "enable"}},
        {"six values of 12,000 bytes",
         SourceLine("0600000", repeated("\xB1", 12000), repeated("\xB1", 12000), repeated("\xB1", 12000),
                    repeated("\x93\x8C", 6000), repeated("\x93\x8C", 6000), repeated("\x93\x8C", 6000)),
         0, {}, false, {"progress:", "phase:", kCreateFailed, "enable"}},
        {"gone when it is opened", NumberedLines(3), 0,
         [](TSourceFolder& folder, const std::string&) { std::filesystem::remove(folder.SourcePath()); }, true,
         {"progress:", "phase:", "enable"}},
        {"read error in the measuring pass", NumberedLines(3), 0,
         [](TSourceFolder& folder, const std::string&) { folder.MakeUnreadable(); }, true,
         {"progress:", "phase:", "enable"}},
        // 1,200 lines take more than one read of the file
        {"read error after 500 records", NumberedLines(1200), 0, {}, true,
         {Progress("読取中：500行目"), "progress:", "phase:", "enable"}, 501},
        {"UTF-8, then a Shift-JIS line",
         SourceLine("0600001", "ア", "ア", "ア", "東", "東", "東") + NumberedLines(1), 0, {}, true,
         {"progress:", "phase:", "enable"}},
    };
    for (const auto& c : cases) {
        Exec("RECREATE TABLE ZIPDIC (ZIP VARCHAR(7))");
        Exec("INSERT INTO ZIPDIC VALUES ('old')");
        m_folder.Write(c.bytes);
        m_view = {};
        m_view.Database = m_database.get();
        m_view.EscapeAtPoll = c.escapeAtPoll;
        if (c.onPhase)
            m_view.OnPhase = [&](const std::string& phase) {
                if (phase == Cp932("文字数チェック中です"))
                    c.onPhase(m_folder, phase);
            };
        if (c.failReadsAtPoll)
            m_view.OnPoll = [&](int poll) {
                if (poll == c.failReadsAtPoll)
                    m_folder.FailReadsOfOpenFile();
            };
        if (c.raises)
            EXPECT_EQ(RaisedText([&] { Build(); }).substr(0, 4), "I/O ") << c.name;
        else
            Build();
        EXPECT_EQ(Tail(m_view.Shown, c.wantTail.size()), c.wantTail) << c.name;
        EXPECT_EQ(std::count(m_view.Shown.begin(), m_view.Shown.end(), "exists?"), 0) << c.name;
        EXPECT_EQ(Rows("SELECT * FROM ZIPDIC"), std::vector<std::string>{"old"}) << c.name;
    }

    // A read error in the insert pass: the new table keeps what went in, the
    // counts say how far the pass got, and the error follows.
    m_folder.Write(NumberedLines(3));
    m_view = {};
    m_view.Database = m_database.get();
    m_view.OnPhase = [&](const std::string& phase) {
        if (phase == Cp932("データ登録中"))
            m_folder.MakeUnreadable();
    };
    EXPECT_EQ(RaisedText([&] { Build(); }).substr(0, 4), "I/O ");
    EXPECT_EQ(Tail(m_view.Shown, 3),
              (std::vector<std::string>{Phase("データ登録完了"), Progress("完了：0／3"), "enable"}));
    EXPECT_EQ(Count("ZIPDIC"), 0);
    EXPECT_EQ(m_widths, (TColumnWidths{2, 1, 2, 2, 2, 2}));

    // The file written between the passes (the insert pass opens it by its
    // name again): the rows committed stay, the counts are shown, and the
    // error says that they are not the measured file's, also when the count
    // of records is the same.
    for (const std::string& other : {NumberedLines(4), NumberedLines(2) + NumberedLines(1)}) {
        m_folder.Write(NumberedLines(3));
        m_view = {};
        m_view.Database = m_database.get();
        m_view.OnPhase = [&](const std::string& phase) {
            if (phase == Cp932("データ登録中"))
                m_folder.Write(other);
        };
        EXPECT_EQ(RaisedText([&] { Build(); }), Cp932("「KEN_ALL.CSV」は読取中に変更されました"));
        const int records = other.size() > NumberedLines(3).size() ? 4 : 3;
        EXPECT_EQ(Tail(m_view.Shown, 3),
                  (std::vector<std::string>{Phase("データ登録完了"),
                                            Progress("完了：" + std::to_string(records) + "／3"), "enable"}));
        EXPECT_EQ(Count("ZIPDIC"), records);
    }
}

// The widths the server makes a table of, at each of its limits and one byte
// over: a VARCHAR's width, and the row's length, in which the width after an
// odd one starts on an even offset.
TEST_F(EmbeddedBuild, TableFitsWhereTheServerCreates)
{
    const struct {
        const char* name;
        TColumnWidths widths;
        bool fits;
    } cases[] = {
        {"widest VARCHAR", {1, 1, 1, 1, 1, 32765}, true},
        {"one byte wider", {1, 1, 1, 1, 1, 32766}, false},
        {"wider than a short integer", {1, 1, 1, 1, 1, 40000}, false},
        {"row of 65,535 bytes", {11000, 11000, 11000, 11000, 11000, 10509}, true},
        {"row of 65,536 bytes", {11000, 11000, 11000, 11000, 11000, 10510}, false},
        {"65,535 with five padding bytes", {11001, 11001, 11001, 11001, 11001, 10499}, true},
        {"a byte more filling a padding byte", {11002, 11001, 11001, 11001, 11001, 10499}, true},
        {"65,536 with five padding bytes", {11001, 11001, 11001, 11001, 11001, 10500}, false},
        {"six of 12,000", {12000, 12000, 12000, 12000, 12000, 12000}, false},
    };
    // The build's CREATE text, each case under a name of its own: made again
    // at once under the name just dropped, a table one byte over the record
    // size was now and then let through by the engine, which says nothing of
    // the limit itself. TableFits refuses it either way.
    int serial = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(TableFits(c.widths), c.fits) << c.name;
        TStringList lines;
        CreateLines(c.widths, lines);
        lines.RawLines()[0] = "CREATE TABLE ZIPDIC" + std::to_string(++serial) + " (";
        bool created = true;
        try {
            Exec(lines.Text());
        } catch (const EIBError&) {
            created = false;
        }
        EXPECT_EQ(created, c.fits) << c.name;
    }
}

// What the server refuses: a DROP or a CREATE ends the build with its box; no
// DROP is sent when there is no table.
TEST_F(EmbeddedBuild, RefusedDropOrCreate)
{
    const struct {
        const char* name;
        bool tableBefore;
        bool answer;   // what the table check says
        std::vector<std::string> wantTail;
        long long wantTables;
    } cases[] = {
        {"no table: CREATE at once", false, false, {Phase("データ登録完了"), Progress("完了：2／2"), "enable"}, 1},
        {"DROP of a table that is not there", false, true, {"phase:", kDropFailed, "enable"}, 0},
        {"CREATE of a table that is there", true, false, {"progress:", "phase:", kCreateFailed, "enable"}, 1},
    };
    m_folder.Write(NumberedLines(2));
    for (const auto& c : cases) {
        if (c.tableBefore)
            Exec("RECREATE TABLE ZIPDIC (ZIP VARCHAR(7))");
        else
            Exec("EXECUTE BLOCK AS BEGIN IF (EXISTS(SELECT 1 FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'ZIPDIC'))"
                 " THEN EXECUTE STATEMENT 'DROP TABLE ZIPDIC'; END");
        m_view = {};
        const bool answer = c.answer;
        m_view.TableExistsAnswer = [answer] { return answer; };
        Build();
        EXPECT_EQ(Tail(m_view.Shown, c.wantTail.size()), c.wantTail) << c.name;
        EXPECT_EQ(Rows("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'ZIPDIC'"),
                  std::vector<std::string>{std::to_string(c.wantTables)})
            << c.name;
        EXPECT_FALSE(m_transaction->Active()) << c.name;
    }
}

// The connection goes away while statements run: its error is not absorbed,
// and the button comes back. In the insert pass the finished texts show how
// far it got first.
TEST(DictionaryBuildFake, LostConnection)
{
    const struct {
        const char* name;
        int loseAtExecute;   // 1 is the CREATE
        std::vector<std::string> wantTail;
    } cases[] = {
        {"during the CREATE", 1, {Phase("新規テーブル作成中"), "phase:", "enable"}},
        {"at the third insert", 4, {Phase("データ登録完了"), Progress("完了：3／5"), "enable"}},
    };
    for (const auto& c : cases) {
        UseFakeClient();
        fake::SetInfoReply(isc_info_sql_stmt_type,
                           std::string{static_cast<char>(isc_info_sql_stmt_type), 4, 0, static_cast<char>(SQLInsert),
                                       0, 0, 0, static_cast<char>(isc_info_end)});
        int executes = 0;
        const fake::THook execute = [&](const fake::TCall&, ISC_STATUS* status, ISC_STATUS& result) {
            if (++executes != c.loseAtExecute)
                return false;
            LoseConnection();
            std::copy(kLostConnection.begin(), kLostConnection.end(), status);
            result = status[1];
            return true;
        };
        fake::SetHook("isc_dsql_execute", execute);
        fake::SetHook("isc_dsql_execute2", execute);

        TSourceFolder folder;
        folder.Write(NumberedLines(5));
        TIBDatabase database("IBDatabase1");
        TIBTransaction transaction("IBTransaction1");
        TIBQuery query("IBQuery1");
        database.SetDefaultTransaction(&transaction);
        transaction.SetDefaultDatabase(&database);
        query.SetDatabase(&database);
        query.SetTransaction(&transaction);
        database.SetDatabaseName("fake.fdb");
        database.SetConnected(true);
        TColumnWidths widths{};
        TDictionaryBuild build(database, transaction, query, widths);
        TRecordingView view;
        view.TableExistsAnswer = [] { return false; };

        EXPECT_NE(RaisedText([&] { build.Run(folder.SourcePath(), view); }), "") << c.name;
        EXPECT_EQ(Tail(view.Shown, c.wantTail.size()), c.wantTail) << c.name;
        EXPECT_FALSE(database.Connected()) << c.name;
    }
}
