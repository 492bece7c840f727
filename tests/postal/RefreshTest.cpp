// The refresh on both engines: the table created, widened or refused, the
// rows replaced all at once or not at all, what other connections see, and
// a second refresh meeting the first. The fake client loses the connection.
#include "BuildTestSupport.h"
#include "FakeJournal.h"

#include <DictionaryTable.h>
#include <IBSQL.h>
#include <Refresh.h>
#include <TableDescription.h>
#include <ScopeExit.h>
#include <StopRequest.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kWidthsQuery = "SELECT TRIM(R.RDB$FIELD_NAME) || ' ' || F.RDB$FIELD_LENGTH FROM RDB$RELATION_FIELDS R"
                                 " JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE"
                                 " WHERE R.RDB$RELATION_NAME = 'ZIPDIC' ORDER BY R.RDB$FIELD_POSITION";
const std::string kAllRows = "SELECT ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC ORDER BY ZIP";
const std::string kOldRows = "INSERT INTO ZIPDIC (ZIP, ADK1) VALUES ('old1', 'a')";

struct TProgress : RefreshView {
    std::function<void(TRefreshPhase, long, long)> OnProgress;
    long Stored = 0;
    void Progress(TRefreshPhase phase, long done, long total) override
    {
        if (phase == rpStoring)
            Stored = done;
        if (OnProgress)
            OnProgress(phase, done, total);
    }
};

// Three records of distinct widths (ADK1 3, ADK2 2, ADK3 1, ADR1 6, ADR2 4,
// ADR3 2) and one whose ADK3 and ADR3 the suppression rule empties.
const std::string kFile =
    SourceLine("0600001", "\xCE\xAF\xB6", "\xBB\xAF", "\xB1", "\x96\x6B\x8A\x43\x93\xB9", "\x8E\x44\x96\x79",
               "\x93\x8C") +
    SourceLine("0600002", "\xB1", "\xB1", "", "\x93\x8C", "\x93\x8C",
               "\x88\xC8\x89\xBA\x82\xC9\x8C\x66\x8D\xDA");   // 以下に掲載
const std::vector<std::string> kFileRows = {
    "0600001|\xCE\xAF\xB6|\xBB\xAF|\xB1|\x96\x6B\x8A\x43\x93\xB9|\x8E\x44\x96\x79|\x93\x8C",
    "0600002|\xB1|\xB1|<null>|\x93\x8C|\x93\x8C|<null>",
};

class RefreshOnEngine : public EngineTest {
protected:
    void SetUp() override { SetUpEngine("refresh-"); }

    void Exec(const std::string& sql)
    {
        m_transaction->StartTransaction();
        ExecSql(*m_database, *m_transaction, sql);
        m_transaction->Commit();
    }
    std::vector<std::string> Rows(const std::string& select) { return SelectRows(*m_database, *m_transaction, select); }

    // A second connection to the same database.
    std::unique_ptr<TIBDatabase> Connect()
    {
        auto database = std::make_unique<TIBDatabase>();
        database->SetDatabaseName(m_scratch->Name());
        SetLoginParams(*database);
        database->SetConnected(true);
        return database;
    }

    TRefreshReport Refresh(const std::string& bytes, TProgress& view, TIBDatabase* database = nullptr)
    {
        m_folder.Write(bytes);
        return TDictionaryRefresh(database ? *database : *m_database).Run(m_folder.SourcePath(), view);
    }

    TSourceFolder m_folder;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Engine, RefreshOnEngine, ::testing::Values(TTarget::Server, TTarget::Embedded), TargetName);

// No table, a narrower one, a wider one: the rows are the file's afterwards
// and no column is narrower than before. Another shape: refused, unchanged.
TEST_P(RefreshOnEngine, TableCreatedWidenedKeptOrRefused)
{
    const struct {
        const char* name;
        const char* table;   // nullptr: no ZIPDIC
        std::vector<std::string> wantWidths;
        std::vector<std::string> wantWidened;
        bool refused;
    } cases[] = {
        {"no table", nullptr, {"ZIP 7", "ADK1 3", "ADK2 2", "ADK3 1", "ADR1 6", "ADR2 4", "ADR3 2"}, {}, false},
        {"narrower",
         "ZIP VARCHAR(7), ADK1 VARCHAR(4), ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(5), ADR2 VARCHAR(9),"
         " ADR3 VARCHAR(1)",
         {"ZIP 7", "ADK1 4", "ADK2 2", "ADK3 1", "ADR1 6", "ADR2 9", "ADR3 2"}, {"ADK2", "ADR1", "ADR3"}, false},
        {"wider",
         "ZIP VARCHAR(9), ADK1 VARCHAR(50), ADK2 VARCHAR(50), ADK3 VARCHAR(50), ADR1 VARCHAR(50), ADR2 VARCHAR(50),"
         " ADR3 VARCHAR(50)",
         {"ZIP 9", "ADK1 50", "ADK2 50", "ADK3 50", "ADR1 50", "ADR2 50", "ADR3 50"}, {}, false},
        {"a column more",
         "ZIP VARCHAR(7), ADK1 VARCHAR(1), ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(1), ADR2 VARCHAR(1),"
         " ADR3 VARCHAR(1), X INTEGER",
         {"ZIP 7", "ADK1 1", "ADK2 1", "ADK3 1", "ADR1 1", "ADR2 1", "ADR3 1", "X 4"}, {}, true},
        {"another type",
         "ZIP VARCHAR(7), ADK1 CHAR(9), ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(1), ADR2 VARCHAR(1),"
         " ADR3 VARCHAR(1)",
         {"ZIP 7", "ADK1 9", "ADK2 1", "ADK3 1", "ADR1 1", "ADR2 1", "ADR3 1"}, {}, true},
        {"another character set",
         "ZIP VARCHAR(7), ADK1 VARCHAR(9) CHARACTER SET OCTETS, ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(1),"
         " ADR2 VARCHAR(1), ADR3 VARCHAR(1)",
         {"ZIP 7", "ADK1 9", "ADK2 1", "ADK3 1", "ADR1 1", "ADR2 1", "ADR3 1"}, {}, true},
        {"a column missing", "ZIP VARCHAR(7), ADK1 VARCHAR(4)", {"ZIP 7", "ADK1 4"}, {}, true},
    };
    for (const auto& c : cases) {
        Exec("EXECUTE BLOCK AS BEGIN IF (EXISTS(SELECT 1 FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'ZIPDIC'))"
             " THEN EXECUTE STATEMENT 'DROP TABLE ZIPDIC'; END");
        std::vector<std::string> before;
        if (c.table) {
            Exec(std::string("CREATE TABLE ZIPDIC (") + c.table + ")");
            Exec(kOldRows);
            before = Rows("SELECT ZIP FROM ZIPDIC");
        }
        TProgress view;
        if (c.refused) {
            EXPECT_THROW(Refresh(kFile, view), ETableShape) << c.name;
            EXPECT_EQ(Rows("SELECT ZIP FROM ZIPDIC"), before) << c.name;
        } else {
            const TRefreshReport report = Refresh(kFile, view);
            EXPECT_EQ(report.TableCreated, c.table == nullptr) << c.name;
            EXPECT_EQ(report.WidenedColumns, c.wantWidened) << c.name;
            EXPECT_EQ(report.RowsBefore, c.table ? 1 : 0) << c.name;
            EXPECT_EQ(report.Records, 2) << c.name;
            EXPECT_EQ(report.RowsAfter, 2) << c.name;
            EXPECT_EQ(view.Stored, 2) << c.name;
            EXPECT_EQ(Rows(kAllRows), kFileRows) << c.name;
        }
        EXPECT_EQ(Rows(kWidthsQuery), c.wantWidths) << c.name;
    }
}

// Enough records for several blocks: every one stored, byte for byte, except
// the one whose postal code is too long, reported by its line number.
TEST_P(RefreshOnEngine, RefusedRecordReportedByLineAndTheRestStored)
{
    const int records = 701;
    std::string bytes = SourceLine("0999999", "\xC4\xB3", "\xC1", "\xCF\xD9", "\x93\x8C", "\x90\xE7", "\x8A\xDB");
    for (int i = 0; i < records - 1; ++i)
        bytes += SourceLine(i == 300 ? "06000021" : std::to_string(1000000 + i), "\xC4\xB3", "\xC1", "\xCF\xD9",
                            "\x93\x8C", "\x90\xE7", i == 300 ? "\x93\x8C" : "\x8A\xDB");
    TProgress view;
    const TRefreshReport report = Refresh(bytes, view);
    ASSERT_EQ(report.Refused.size(), 1u);
    EXPECT_EQ(report.Refused[0].Line, 302);
    EXPECT_NE(report.Refused[0].Message.find("truncation"), std::string::npos) << report.Refused[0].Message;
    EXPECT_EQ(report.Records, records);
    EXPECT_EQ(report.Inserted, records - 1);
    EXPECT_EQ(view.Stored, records);
    EXPECT_EQ(Rows("SELECT COUNT(*), COUNT(DISTINCT ZIP), MIN(ZIP), MAX(ADR3) FROM ZIPDIC"),
              std::vector<std::string>{"700|700|0999999|\x8A\xDB"});
}

// A file that cannot make a table, or cannot be read: the old table stays
// exactly as it was, rows and widths.
TEST_P(RefreshOnEngine, SourceUnusableChangesNothing)
{
    Exec("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(1), ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(1),"
         " ADR2 VARCHAR(1), ADR3 VARCHAR(1))");
    Exec(kOldRows);
    const std::vector<std::string> widths = Rows(kWidthsQuery);
    const struct {
        const char* name;
        std::string bytes;
        bool unreadableWhileMeasuring;   // the insert pass then cannot read it
    } cases[] = {
        {"no record", "", false},
        {"a column empty in every record", SourceLine("0600000", "\xB1", "\xB1", "", "\x93\x8C", "\x93\x8C", "x"),
         false},
        {"UTF-8, then a Shift-JIS line", SourceLine("0600001", "ア", "ア", "ア", "東", "東", "東") + NumberedLines(1),
         false},
        {"unreadable", "", true},
        // more than one read of the file: the second pass reads on after its first block
        {"unreadable in the insert pass", NumberedLines(2000), true},
    };
    for (const auto& c : cases) {
        TProgress view;
        if (c.unreadableWhileMeasuring && c.bytes.empty())
            m_folder.MakeUnreadable();
        else
            m_folder.Write(c.bytes);
        bool failed = false;
        if (c.unreadableWhileMeasuring) {
            view.OnProgress = [&](TRefreshPhase phase, long, long) {
                if (phase == rpStoring && !failed) {
                    failed = true;
                    m_folder.FailReadsOfOpenFile();   // the second pass reads the file the first one opened
                }
            };
        }
        EXPECT_THROW(TDictionaryRefresh(*m_database).Run(m_folder.SourcePath(), view), ESourceUnusable) << c.name;
        EXPECT_EQ(Rows("SELECT ZIP FROM ZIPDIC"), std::vector<std::string>{"old1"}) << c.name;
        // Widths committed before the rows stay when the rows roll back.
        const std::vector<std::string> widened = {"ZIP 7", "ADK1 2", "ADK2 1", "ADK3 2", "ADR1 2", "ADR2 2", "ADR3 2"};
        EXPECT_EQ(Rows(kWidthsQuery), c.bytes.size() > 1000 ? widened : widths) << c.name;
    }
}

// The UTF-8 twin of kFile (with a byte-order mark) stores kFile's rows, with
// widths measured on the stored bytes; a character CP932 lacks is stored as
// 〓 and reported by its line and column.
TEST_P(RefreshOnEngine, Utf8FileStoresTheRowsOfItsShiftJisTwin)
{
    TProgress view;
    const TRefreshReport report =
        Refresh("\xEF\xBB\xBF" + SourceLine("0600001", "ホッカ", "サッ", "ア", "北海道", "札幌", "東") +
                    SourceLine("0600002", "ア", "ア", "", "東", "東", "以下に掲載") +
                    SourceLine("0600003", "ア", "ア", "ヨシノ", "東", "東", "𠮷野"),
                view);
    std::vector<std::string> want = kFileRows;
    want.push_back("0600003|" + Cp932("ｱ|ｱ|ﾖｼﾉ|東|東|") + "\x81\xAC" + Cp932("野"));
    EXPECT_EQ(Rows(kAllRows), want);
    EXPECT_EQ(Rows(kWidthsQuery),
              (std::vector<std::string>{"ZIP 7", "ADK1 3", "ADK2 2", "ADK3 3", "ADR1 6", "ADR2 4", "ADR3 4"}));
    EXPECT_EQ(report.Replaced.Count, 1);
    ASSERT_EQ(report.Replaced.Listed.size(), 1u);
    EXPECT_EQ(report.Replaced.Listed[0].Line, 3);
    EXPECT_EQ(report.Replaced.Listed[0].Column, 9);
    EXPECT_EQ(report.Replaced.Listed[0].CodePoint, U'\U00020BB7');
}

// What is not a whole file in KEN_ALL.CSV's layout is refused before the
// database is touched, naming the first bad line: the rows and the widths
// stay as they were.
TEST_P(RefreshOnEngine, MalformedFileRefusedAtItsFirstBadLine)
{
    Exec("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(1), ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(1),"
         " ADR2 VARCHAR(1), ADR3 VARCHAR(1))");
    Exec(kOldRows);
    const std::vector<std::string> widths = Rows(kWidthsQuery);
    const std::string good = NumberedLines(3);
    const auto line = [](const std::string& adk1, const std::string& adr3) {
        return SourceLine("0600000", adk1, "\xB1", "\xB1", "\x93\x8C", "\x93\x8C", adr3);
    };
    const std::string plain = line("\xB1", "\x93\x8C");
    const std::size_t textOfPlain = plain.size() - 2 - 2;   // without CR LF and its ADR3
    std::string random(4096, '\0');
    std::mt19937 generator(27);
    for (char& byte : random)
        byte = static_cast<char>(generator());
    const struct {
        const char* name;
        std::string bytes;
        std::string want;   // after the path
    } cases[] = {
        {"Ctrl-Z mid-file", good + "\x1A" + good, " line 4: bytes after the end-of-file byte 0x1A"},
        {"14 columns", good + plain.substr(0, plain.size() - 4) + "\r\n", " line 4: 14 columns, not 15"},
        {"16 columns", good + plain.substr(0, plain.size() - 2) + ",0\r\n", " line 4: 16 columns, not 15"},
        {"a line cut by a lone LF", good + plain.substr(0, 40) + "\n" + plain.substr(40), " line 4: 7 columns, not 15"},
        {"a byte 0x00", good + line(std::string("\xB1\0\xB1", 3), "\x93\x8C"), " line 4: a byte 0x00"},
        {"a line over 64 KiB", good + line("\xB1", std::string(65537 - textOfPlain, 'x')),
         " line 4: longer than 65536 bytes"},
        {"the last line without its line end", good.substr(0, good.size() - 2),
         " line 3: the last line has no line end (a cut file?)"},
        {"cut inside a line", good + plain.substr(0, 40), " line 4: the last line has no line end (a cut file?)"},
        {"random bytes", random, " line 1: "},
        {"a zip with bytes in front of it", "MZ" + ZipArchive("KEN_ALL.CSV", good), " line 1: a byte 0x00"},
    };
    for (const auto& c : cases) {
        m_folder.Write(c.bytes);
        TProgress view;
        std::string error;
        try {
            TDictionaryRefresh(*m_database).Run(m_folder.SourcePath(), view);
            ADD_FAILURE() << c.name << ": not refused";
        } catch (const ESourceUnusable& e) {
            error = e.Message();
        }
        EXPECT_EQ(error.rfind(m_folder.SourcePath() + c.want, 0), 0u) << c.name << ": " << error;
        EXPECT_TRUE(error.ends_with("; nothing changed")) << c.name << ": " << error;
        EXPECT_EQ(view.Stored, 0) << c.name;
        EXPECT_EQ(Rows("SELECT ZIP FROM ZIPDIC"), std::vector<std::string>{"old1"}) << c.name;
        EXPECT_EQ(Rows(kWidthsQuery), widths) << c.name;
    }
}

// The file written while the refresh reads it. Overwritten where it stands
// (a download still writing it), the second pass does not read what the
// first one measured: the rows roll back. Replaced by a rename, the refresh
// reads on in the file it opened, and stores that file's rows.
TEST_P(RefreshOnEngine, FileWrittenWhileItIsRead)
{
    Exec("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(2), ADK2 VARCHAR(1), ADK3 VARCHAR(2), ADR1 VARCHAR(2),"
         " ADR2 VARCHAR(2), ADR3 VARCHAR(2))");
    // More than one read of the file: the second pass reads on after its
    // first block. The other file differs in its last line only.
    const std::string first = NumberedLines(2000);
    const std::string other = NumberedLines(1999) + SourceLine("0999999", "\xC4\xB3", "\xC1", "\xCF\xD9",
                                                               "\x93\x8C", "\x90\xE7", "\x8A\xDB");
    const struct {
        const char* name;
        bool zip;
        bool renamed;
    } cases[] = {
        {"overwritten in place", false, false},
        {"replaced by a rename", false, true},
        {"a zip replaced by a rename", true, true},
    };
    for (const auto& c : cases) {
        Exec("DELETE FROM ZIPDIC");
        Exec(kOldRows);
        const auto bytes = [&](const std::string& text) { return c.zip ? ZipArchive("KEN_ALL.CSV", text) : text; };
        m_folder.Write(bytes(first));
        bool written = false;
        TProgress view;
        view.OnProgress = [&](TRefreshPhase phase, long, long) {
            if (phase != rpStoring || written)
                return;
            written = true;
            if (c.renamed)
                m_folder.Replace(bytes(other));
            else
                m_folder.Overwrite(bytes(other));
        };
        if (c.renamed) {
            EXPECT_EQ(TDictionaryRefresh(*m_database).Run(m_folder.SourcePath(), view).RowsAfter, 2000) << c.name;
            EXPECT_EQ(Rows("SELECT COUNT(*), MIN(ZIP), MAX(ZIP) FROM ZIPDIC"),
                      std::vector<std::string>{"2000|1000000|1001999"}) << c.name;
        } else {
            EXPECT_EQ(RaisedText([&] { TDictionaryRefresh(*m_database).Run(m_folder.SourcePath(), view); }),
                      m_folder.SourcePath() + " changed while it was read; nothing changed") << c.name;
            EXPECT_EQ(Rows("SELECT ZIP FROM ZIPDIC"), std::vector<std::string>{"old1"}) << c.name;
        }
        EXPECT_TRUE(written) << c.name;
    }
}

// A file of fewer than half as many records as the table holds rows is
// refused, naming both counts, unless shrinking is allowed; half will do.
TEST_P(RefreshOnEngine, MuchSmallerFileRefusedUnlessAllowed)
{
    TProgress view;
    Refresh(NumberedLines(600), view);
    const struct {
        int records;
        bool allowed;
        bool refused;
    } cases[] = {{299, false, true}, {300, false, false}, {10, true, false}};
    long rows = 600;
    for (const auto& c : cases) {
        m_folder.Write(NumberedLines(c.records));
        TDictionaryRefresh refresh(*m_database);
        refresh.AllowShrink(c.allowed);
        TProgress shrinking;
        if (c.refused) {
            try {
                refresh.Run(m_folder.SourcePath(), shrinking);
                ADD_FAILURE() << c.records << " records not refused";
            } catch (const ESourceShrinks& e) {
                EXPECT_EQ(e.Message(), m_folder.SourcePath() + ": 299 records, fewer than half of the 600 rows "
                                       "ZIPDIC holds (a cut file?); nothing changed");
            }
            EXPECT_EQ(shrinking.Stored, 0);
        } else {
            EXPECT_EQ(refresh.Run(m_folder.SourcePath(), shrinking).RowsAfter, c.records);
            rows = c.records;
        }
        EXPECT_EQ(Rows("SELECT COUNT(*) FROM ZIPDIC"), std::vector<std::string>{std::to_string(rows)}) << c.records;
    }
}

// A reader on another connection with a query open on ZIPDIC: its snapshot
// keeps the old rows throughout; a new transaction sees the old rows while
// the refresh runs (without waiting) and the new ones after the commit.
TEST_P(RefreshOnEngine, OtherConnectionsSeeOldRowsUntilTheCommit)
{
    Exec("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(1), ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(1),"
         " ADR2 VARCHAR(1), ADR3 VARCHAR(1))");
    Exec(kOldRows);
    Exec("INSERT INTO ZIPDIC (ZIP) VALUES ('old2')");
    auto reader = Connect();
    TIBTransaction snapshot;
    snapshot.SetDefaultDatabase(reader.get());
    snapshot.StartTransaction();
    TIBSQL open;
    open.SetDatabase(reader.get());
    open.SetTransaction(&snapshot);
    open.SQL().Add("SELECT ZIP FROM ZIPDIC ORDER BY ZIP");
    open.ExecQuery();   // fetches the first row and stays open
    ASSERT_EQ(open.Column(0).AsText(), "old1");

    std::vector<std::vector<std::string>> seen;
    TProgress view;
    view.OnProgress = [&](TRefreshPhase phase, long, long) {
        if (phase != rpStoring)
            return;
        TIBTransaction during;
        during.SetDefaultDatabase(reader.get());
        during.Params().Add("read_committed");
        during.Params().Add("rec_version");
        during.Params().Add("nowait");
        seen.push_back(SelectRows(*reader, during, "SELECT ZIP FROM ZIPDIC ORDER BY ZIP"));
    };
    Refresh(NumberedLines(600), view);   // widens every column while the query is open
    EXPECT_EQ(seen, (std::vector<std::vector<std::string>>(3, {"old1", "old2"})));
    ASSERT_NE(open.Fetch(), nullptr);
    EXPECT_EQ(open.Column(0).AsText(), "old2");
    EXPECT_EQ(SelectRows(*reader, snapshot, "SELECT COUNT(*) FROM ZIPDIC"), std::vector<std::string>{"2"});
    open.Close();
    snapshot.Commit();
    TIBTransaction after;
    after.SetDefaultDatabase(reader.get());
    EXPECT_EQ(SelectRows(*reader, after, "SELECT COUNT(*) FROM ZIPDIC"), std::vector<std::string>{"600"});
}

// A stop request (SIGTERM's, made here through the view) ends the measuring
// pass at its next line and the insert pass before its next block; made
// after the last block, the commit's own check refuses it. The rows are the
// old ones exactly; widths committed before the rows stay, and nothing of
// the stopped runs holds the table.
TEST_P(RefreshOnEngine, StopRollsTheRowsBack)
{
    Exec("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(1), ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(1),"
         " ADR2 VARCHAR(1), ADR3 VARCHAR(1))");
    Exec(kOldRows);
    const std::vector<std::string> narrow = Rows(kWidthsQuery);
    const std::vector<std::string> widened = {"ZIP 7", "ADK1 2", "ADK2 1", "ADK3 2", "ADR1 2", "ADR2 2", "ADR3 2"};
    const TScopeExit forget([] { ClearStopRequest(); });
    const struct {
        const char* name;
        TRefreshPhase phase;
        long at;           // the progress count at which the stop is requested
        long wantStored;   // blocks sent by then
    } cases[] = {
        {"measuring", rpMeasuring, 500, 0},
        {"after block 2", rpStoring, 512, 512},
        {"after the last block", rpStoring, 600, 600},
    };
    for (const auto& c : cases) {
        ClearStopRequest();
        TProgress view;
        view.OnProgress = [&](TRefreshPhase phase, long done, long) {
            if (phase == c.phase && done == c.at)
                RequestStop(SIGTERM);
        };
        EXPECT_EQ(RaisedText([&] { Refresh(NumberedLines(600), view); }), "stopped by SIGTERM") << c.name;
        EXPECT_EQ(view.Stored, c.wantStored) << c.name;
        EXPECT_EQ(Rows("SELECT ZIP FROM ZIPDIC"), std::vector<std::string>{"old1"}) << c.name;
        EXPECT_EQ(Rows(kWidthsQuery), c.phase == rpMeasuring ? narrow : widened) << c.name;
    }
    ClearStopRequest();
    TProgress view;
    Refresh(NumberedLines(600), view);
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM ZIPDIC"), std::vector<std::string>{"600"});
}

// The guard keeps a transaction's work only when its commit was made: an
// error, a stop seen by the commit's check or a plain rollback leave the
// table as it was, and the transaction ended in every case.
TEST_P(RefreshOnEngine, TransactionGuardKeepsOnlyACommit)
{
    Exec("CREATE TABLE ZIPDIC (ZIP VARCHAR(7))");
    const TScopeExit forget([] { ClearStopRequest(); });
    const struct {
        const char* name;
        std::function<void(TTransactionGuard&)> end;
        const char* wantRaised;
        std::vector<std::string> wantRows;
    } cases[] = {
        {"error", [](TTransactionGuard&) { throw Exception("failed"); }, "failed", {}},
        {"stop", [](TTransactionGuard& g) { RequestStop(SIGTERM); g.Commit(); }, "stopped by SIGTERM", {}},
        {"rollback", [](TTransactionGuard& g) { g.Rollback(); }, "", {}},
        {"commit", [](TTransactionGuard& g) { g.Commit(); }, "", {"new"}},
    };
    for (const auto& c : cases) {
        ClearStopRequest();
        Exec("DELETE FROM ZIPDIC");
        auto transaction = NewTransaction(*m_database, {"concurrency", "write"});
        transaction->StartTransaction();
        std::string raised;
        try {
            TTransactionGuard guard(*transaction);
            ExecSql(*m_database, *transaction, "INSERT INTO ZIPDIC (ZIP) VALUES ('new')");
            c.end(guard);
        } catch (const Exception& e) {
            raised = e.Message();
        } catch (const EStopped& e) {
            raised = e.what();
        }
        EXPECT_EQ(raised, c.wantRaised) << c.name;
        EXPECT_FALSE(transaction->Active()) << c.name;
        EXPECT_EQ(Rows("SELECT ZIP FROM ZIPDIC"), c.wantRows) << c.name;
    }
}

// A refresh started while another runs fails at once and changes nothing;
// the first one finishes.
TEST_P(RefreshOnEngine, SecondRefreshFailsAtOnce)
{
    Exec("CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(1), ADK2 VARCHAR(1), ADK3 VARCHAR(1), ADR1 VARCHAR(1),"
         " ADR2 VARCHAR(1), ADR3 VARCHAR(1))");
    Exec(kOldRows);
    auto other = Connect();
    TSourceFolder otherFolder;
    const struct {
        const char* name;
        std::string bytes;
    } seconds[] = {{"same widths", NumberedLines(3)}, {"wider", kFile}};
    std::vector<std::string> messages;
    TProgress view;
    view.OnProgress = [&](TRefreshPhase phase, long done, long) {
        if (phase != rpStoring || done != 256)
            return;
        for (const auto& s : seconds) {
            otherFolder.Write(s.bytes);
            TProgress otherView;
            messages.push_back(RaisedText([&] { TDictionaryRefresh(*other).Run(otherFolder.SourcePath(), otherView); }));
            EXPECT_EQ(otherView.Stored, 0) << s.name;
        }
    };
    Refresh(NumberedLines(600), view);
    ASSERT_EQ(messages.size(), 2u);
    for (const std::string& m : messages)
        EXPECT_EQ(m.rfind("ZIPDIC is being refreshed by another connection; nothing changed", 0), 0u) << m;
    EXPECT_EQ(Rows("SELECT COUNT(*), MIN(ZIP), MAX(ZIP) FROM ZIPDIC"), std::vector<std::string>{"600|1000000|1000599"});
    EXPECT_EQ(Rows(kWidthsQuery),
              (std::vector<std::string>{"ZIP 7", "ADK1 2", "ADK2 1", "ADK3 2", "ADR1 2", "ADR2 2", "ADR3 2"}));
}

// The server killed in the middle of the rows: the refresh raises, and the
// database, opened afterwards, holds the old rows exactly. The server is one
// of the test's own, so that the other tests keep theirs.
TEST(RefreshKilledServer, OldRowsStay)
{
    SKIP_WITHOUT_TEST_SERVER();
    UseRealClient();
    const std::string script = KX27_TEST_SERVER_SCRIPT;
    std::string run;
    {
        FILE* pipe = popen(("bash '" + script + "' start " + std::to_string(getpid())).c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char line[4096] = {};
        if (fgets(line, sizeof line, pipe))
            run = line;
        pclose(pipe);
        while (!run.empty() && run.back() == '\n')
            run.pop_back();
    }
    ASSERT_FALSE(run.empty());
    struct TStopped {
        std::string command;
        ~TStopped() { (void)std::system(command.c_str()); }
    } stopped{"bash '" + script + "' stop '" + run + "' 2>/dev/null"};
    const auto readFile = [&](const std::string& name) {
        std::ifstream in(run + "/server/" + name);
        std::string value;
        std::getline(in, value);
        return value;
    };
    const std::string file = run + "/server/data/killed.fdb";
    TScratchDatabase scratch("127.0.0.1/" + readFile("port") + ":" + file);
    TIBDatabase database;
    database.SetDatabaseName(scratch.Name());
    SetLoginParams(database);
    database.SetConnected(true);
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&database);
    transaction.StartTransaction();
    ExecSql(database, transaction, "CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(2), ADK2 VARCHAR(1),"
                                   " ADK3 VARCHAR(2), ADR1 VARCHAR(2), ADR2 VARCHAR(2), ADR3 VARCHAR(2))");
    transaction.Commit();
    transaction.StartTransaction();
    ExecSql(database, transaction, kOldRows);
    transaction.Commit();

    TSourceFolder folder;
    folder.Write(NumberedLines(2000));
    TProgress view;
    view.OnProgress = [&](TRefreshPhase phase, long done, long) {
        if (phase == rpStoring && done == 512)
            ::kill(std::atoi(readFile("pid").c_str()), SIGKILL);
    };
    EXPECT_THROW(TDictionaryRefresh(database).Run(folder.SourcePath(), view), EIBError);
    EXPECT_LT(view.Stored, 2000);
    // The killed server holds the file's lock until its exit is complete,
    // which on a loaded machine may come after the client saw the socket go.
    const auto running = [stat = "/proc/" + readFile("pid") + "/stat"] {
        std::ifstream in(stat);
        std::string pid, name, state;
        return in >> pid >> name >> state && state != "Z";
    };
    for (int i = 0; i < 300 && running(); ++i)
        ::usleep(100000);

    TIBDatabase afterwards;   // the file itself, on the embedded engine
    afterwards.SetDatabaseName(file);
    SetLoginParams(afterwards);
    afterwards.SetConnected(true);
    TIBTransaction reader;
    reader.SetDefaultDatabase(&afterwards);
    EXPECT_EQ(SelectRows(afterwards, reader, kAllRows),
              std::vector<std::string>{"old1|a|<null>|<null>|<null>|<null>|<null>"});
    afterwards.SetConnected(false);
}

// The connection lost at the second block: the error leaves the refresh,
// and the rows' transaction is never committed.
TEST(RefreshFake, LostConnectionCommitsNothing)
{
    UseFakeClient();
    // Each statement's type and parameter count follow from its text.
    std::string prepared;
    fake::SetHook("isc_dsql_prepare", [&](const fake::TCall& call, ISC_STATUS*, ISC_STATUS&) {
        prepared = call.text;
        const int type = prepared.rfind("SELECT", 0) == 0   ? SQLSelect
                         : prepared.rfind("DELETE", 0) == 0 ? SQLDelete
                         : prepared.rfind("EXECUTE", 0) == 0 ? SQLExecProcedure
                                                             : SQLDDL;
        fake::SetInfoReply(isc_info_sql_stmt_type,
                           std::string{static_cast<char>(isc_info_sql_stmt_type), 4, 0, static_cast<char>(type), 0, 0,
                                       0, static_cast<char>(isc_info_end)});
        return false;
    });
    fake::SetAreaHook("isc_dsql_describe_bind", [&](XSQLDA* area) {
        area->sqld = static_cast<ISC_SHORT>(std::count(prepared.begin(), prepared.end(), '?'));
        for (int i = 0; i < area->sqld && i < area->sqln; ++i) {
            area->sqlvar[i].sqltype = SQL_VARYING + 1;
            area->sqlvar[i].sqllen = 7;
        }
    });
    int blocks = 0;
    LoseConnectionAtExecute([&] { return prepared.rfind("EXECUTE BLOCK", 0) == 0 && ++blocks == 2; });
    TSourceFolder folder;
    folder.Write(NumberedLines(600));
    TIBDatabase database;
    database.SetDatabaseName("fake.fdb");
    database.SetConnected(true);
    TProgress view;
    EXPECT_THROW(TDictionaryRefresh(database).Run(folder.SourcePath(), view), EIBError);
    EXPECT_EQ(view.Stored, 256);
    EXPECT_EQ(blocks, 2);
    EXPECT_FALSE(database.Connected());
    // The catalogue read's and the CREATE's commits only.
    EXPECT_EQ(fake::CallCount("isc_commit_transaction"), 2);
}

TEST(RefreshStatements, BlockSizedToTheServersLimits)
{
    const struct {
        TTableWidths widths;
        int wantRows;
    } cases[] = {
        {{7, 7, 22, 73, 8, 20, 76}, 256},            // the real file: the context limit
        {{7, 9000, 9000, 9000, 9000, 9000, 9000}, 155},   // wide rows: the request size
        {{7, 32765, 32765, 32765, 32765, 32765, 32765}, 42},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RowsPerBlock(ZipdicTable, c.widths), c.wantRows);
    EXPECT_EQ(BlockText(ZipdicTable, {7, 1, 2, 3, 4, 5, 6}, 2),
              "EXECUTE BLOCK (A0 VARCHAR(7) CHARACTER SET NONE = ?,B0 VARCHAR(1) CHARACTER SET NONE = ?,"
              "C0 VARCHAR(2) CHARACTER SET NONE = ?,D0 VARCHAR(3) CHARACTER SET NONE = ?,"
              "E0 VARCHAR(4) CHARACTER SET NONE = ?,F0 VARCHAR(5) CHARACTER SET NONE = ?,"
              "G0 VARCHAR(6) CHARACTER SET NONE = ?,A1 VARCHAR(7) CHARACTER SET NONE = ?,"
              "B1 VARCHAR(1) CHARACTER SET NONE = ?,C1 VARCHAR(2) CHARACTER SET NONE = ?,"
              "D1 VARCHAR(3) CHARACTER SET NONE = ?,E1 VARCHAR(4) CHARACTER SET NONE = ?,"
              "F1 VARCHAR(5) CHARACTER SET NONE = ?,G1 VARCHAR(6) CHARACTER SET NONE = ?)\r\n"
              "AS BEGIN\r\n"
              "INSERT INTO ZIPDIC (ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3) VALUES (:A0, :B0, :C0, :D0, :E0, :F0, :G0);\r\n"
              "INSERT INTO ZIPDIC (ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3) VALUES (:A1, :B1, :C1, :D1, :E1, :F1, :G1);\r\n"
              "END");
}
