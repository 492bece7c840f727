// The month's delete and add files applied to ZIPDIC on the embedded engine:
// small files the tests write, and a previous month made from the real
// KEN_ALL.CSV that the month's pair must turn into the real table.
#include "BuildTestSupport.h"
#include "FakeJournal.h"

#include <DictionaryTable.h>
#include <IBSQL.h>
#include <MonthlyApply.h>
#include <ScopeExit.h>
#include <SourceFile.h>
#include <StopRequest.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TApplyView : public RefreshView {
public:
    void Progress(TRefreshPhase phase, long done, long total) override
    {
        if (OnProgress)
            OnProgress(phase, done, total);
    }
    std::function<void(TRefreshPhase, long, long)> OnProgress;
};

// ASCII stands in for the address texts: the reader keeps it as it is.
std::string Line(const std::string& zip, const std::string& town = "T", const std::string& city = "C")
{
    return SourceLine(zip, "P", city, town, "P", city, town);
}

const char* const CreateNarrow =
    "CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 VARCHAR(4), ADK2 VARCHAR(4), ADK3 VARCHAR(4), "
    "ADR1 VARCHAR(4), ADR2 VARCHAR(4), ADR3 VARCHAR(4))";

class MonthlyApplyTest : public EmbeddedBuild {
protected:
    std::string WriteFile(const std::string& name, const std::string& bytes)
    {
        const std::string path = (m_folder.Dir() / name).string();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }
    // A zip holding the bytes as its one CSV, as Japan Post ships the pair.
    std::string WriteZip(const std::string& name, const std::string& entry, const std::string& bytes)
    {
        return WriteFile(name, ZipArchive(entry, bytes));
    }
    // The table as a multiset: every row, sorted.
    std::vector<std::string> Table()
    {
        std::vector<std::string> rows = Rows("SELECT ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC");
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    void DropTable()
    {
        try {
            Exec("DROP TABLE ZIPDIC");
        } catch (const Exception&) {
            // there was none
        }
    }
    void Seed(const std::vector<std::string>& zips)
    {
        DropTable();
        Exec(CreateNarrow);
        for (const std::string& zip : zips)
            Exec("INSERT INTO ZIPDIC VALUES ('" + zip + "', 'P', 'C', 'T', 'P', 'C', 'T')");
    }
    void Refresh()
    {
        TDictionaryRefresh(*m_database).Run(m_folder.SourcePath(), m_applyView);
    }
    TApplyReport Apply(const std::string& del, const std::string& add, bool dryRun = false)
    {
        TMonthlyApply apply(*m_database);
        return apply.Run({del, add}, dryRun, m_applyView);
    }

    TApplyView m_applyView;
};

std::string Row(const std::string& zip, const std::string& town = "T")
{
    return zip + "|P|C|" + town + "|P|C|" + town;
}

} // namespace

TEST_F(MonthlyApplyTest, SmallPairs)
{
    // More deletes than one block takes: all rows but one go.
    std::vector<std::string> many;
    std::string manyDeleted;
    for (int i = 0; i < 75; ++i) {
        many.push_back(std::to_string(1000100 + i));
        if (i != 40)
            manyDeleted += Line(many.back());
    }
    const struct {
        const char* name;
        std::vector<std::string> table;
        std::string del, add;
        bool dryRun;
        std::vector<std::string> want;   // the table afterwards, sorted
        long deleted;
        std::vector<long> unmatched;
        long inserted;
        std::vector<long> refused;
        std::vector<std::string> widened;
        bool alreadyApplied;
        long rowsAfter;
    } cases[] = {
        {"two equal rows, one deleted", {"1000001", "1000001", "1000002"},
         Line("1000001"), Line("1000003"), false,
         {Row("1000001"), Row("1000002"), Row("1000003")}, 1, {}, 1, {}, {}, false, 3},
        {"unmatched deletes by line", {"1000001"},
         Line("1000008") + Line("1000009") + Line("1000001") + Line("1000001", "TOOLONG"), "", false,
         {}, 1, {1, 2, 4}, 0, {}, {}, false, 0},
        {"an empty town is NULL and matches NULL", {"1000001"},
         "", Line("1000002", ""), false,
         {Row("1000001"), "1000002|P|C|<null>|P|C|<null>"}, 0, {}, 1, {}, {}, false, 2},
        {"widened for a longer town; a long postal code refused", {"1000001"},
         Line("1000001"), Line("1000002", "LONGTOWN") + Line("10000031"), false,
         {Row("1000002", "LONGTOWN")}, 1, {}, 1, {2}, {"ADK3", "ADR3"}, false, 1},
        {"dry run: the same report, nothing changed", {"1000001"},
         Line("1000001"), Line("1000002", "LONGTOWN") + Line("10000031"), true,
         {Row("1000001")}, 1, {}, 1, {2}, {"ADK3", "ADR3"}, false, 1},
        {"already applied; a record the server refuses is never there", {"1000001", "1000002", "1000002"},
         Line("1000009"), Line("1000002") + Line("10000031") + Line("1000002"), false,
         {Row("1000001"), Row("1000002"), Row("1000002")}, 0, {1}, 0, {}, {}, true, 3},
        {"deletes and adds overlap; two equal delete records take two rows", {"1000001", "1000001", "1000001"},
         Line("1000001") + Line("1000009") + Line("1000001"), Line("1000001") + Line("1000002"), false,
         {Row("1000001"), Row("1000001"), Row("1000002")}, 2, {2}, 2, {}, {}, false, 3},
        {"deletes over several blocks", many, manyDeleted, "", false, {Row("1000140")}, 74, {}, 0, {}, {}, false, 1},
        {"an add record more often than in the table", {"1000001", "1000002"},
         Line("1000009"), Line("1000002") + Line("1000002"), false,
         {Row("1000001"), Row("1000002"), Row("1000002"), Row("1000002")}, 0, {1}, 2, {}, {},
         false, 4},
    };
    for (const auto& c : cases) {
        Seed(c.table);
        const std::string del = c.del.empty() ? "" : WriteFile("del.csv", c.del);
        const std::string add = c.add.empty() ? "" : WriteFile("add.csv", c.add);
        const TApplyReport report = Apply(del, add, c.dryRun);
        EXPECT_EQ(Table(), c.want) << c.name;
        EXPECT_EQ(report.Deleted, c.deleted) << c.name;
        EXPECT_EQ(report.Unmatched, c.unmatched) << c.name;
        EXPECT_EQ(report.Inserted, c.inserted) << c.name;
        std::vector<long> refused;
        for (const TRefusedRecord& r : report.Refused)
            refused.push_back(r.Line);
        EXPECT_EQ(refused, c.refused) << c.name;
        EXPECT_EQ(report.WidenedColumns, c.widened) << c.name;
        EXPECT_EQ(report.AlreadyApplied, c.alreadyApplied) << c.name;
        EXPECT_EQ(report.RowsBefore, static_cast<long>(c.table.size())) << c.name;
        EXPECT_EQ(report.RowsAfter, c.rowsAfter) << c.name;
        EXPECT_EQ(Rows("SELECT RDB$FIELD_LENGTH FROM RDB$RELATION_FIELDS RF JOIN RDB$FIELDS F ON "
                       "F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE WHERE RF.RDB$FIELD_NAME = 'ADR3'")[0],
                  c.widened.empty() || c.dryRun ? "4" : "8")
            << c.name;
    }
}

// Whatever stops an apply leaves the rows exactly as they were.
// Japan Post's UTF-8 month files (utf_del_YYMM.zip, utf_add_YYMM.zip) are read
// as a UTF-8 refresh reads: a delete record matches the row its Shift-JIS
// twin made, an added record is stored in CP932, a character CP932 lacks is
// counted; a file that mixes encodings changes nothing.
TEST_F(MonthlyApplyTest, Utf8MonthFiles)
{
    const auto line = [](const std::string& zip, const std::string& reading, const std::string& town) {
        return SourceLine(zip, "P", "C", reading, "P", "C", town);
    };
    m_folder.Write(Cp932(line("0600001", "ｱ", "東") + line("0600002", "ｲ", "西")));
    Refresh();
    const std::string del = WriteZip("utf_del_2612.zip", "utf_del_2612.csv", line("0600001", "ア", "東"));
    const std::string add = WriteFile("utf_add_2612.csv", line("0600003", "ヴ", "𠮷") + line("0600004", "ウ", "南"));
    const TApplyReport report = Apply(del, add);
    EXPECT_EQ(report.Deleted, 1);
    EXPECT_TRUE(report.Unmatched.empty());
    EXPECT_EQ(report.Inserted, 2);
    EXPECT_EQ(report.AddReplaced.Count, 1);
    EXPECT_EQ(report.DeleteReplaced.Count, 0);
    const std::vector<std::string> applied = {
        "0600002|P|C|" + Cp932("ｲ|P|C|西"),
        "0600003|P|C|" + Cp932("ｳﾞ|P|C|") + "\x81\xAC",
        "0600004|P|C|" + Cp932("ｳ|P|C|南"),
    };
    EXPECT_EQ(Table(), applied);

    const std::string mixed = WriteFile("mixed.csv", line("0600005", "エ", "北") + Cp932(line("0600006", "ｵ", "北")));
    EXPECT_THROW(Apply("", mixed), ESourceUnusable);
    EXPECT_THROW(Apply(mixed, ""), ESourceUnusable);
    EXPECT_EQ(Table(), applied);
}

TEST_F(MonthlyApplyTest, NothingChangesWhenItCannotBeDone)
{
    const std::string del = WriteFile("del.csv", Line("1000001"));
    const std::string add = WriteFile("add.csv", Line("1000002"));
    const std::string missing = (m_folder.Dir() / "missing.csv").string();
    const std::string empty = WriteFile("empty.csv", "");
    const std::string malformed = WriteFile("malformed.csv", Line("1000001") + "1,2,3\r\n");
    const struct {
        const char* name;
        std::string createTable;   // empty: no ZIPDIC
        std::string del, add;
        // 1 the add file fails once the delete file is read, 2 anything else
        // fails once the deletes are done, 3 a stop is requested then; 4 a
        // stop once the last block is in (the commit refuses it).
        int midway;
        std::string wantError;     // its beginning
    } cases[] = {
        {"no ZIPDIC", "", del, add, 0, "there is no table ZIPDIC"},
        {"another shape", "CREATE TABLE ZIPDIC (ZIP VARCHAR(7), ADK1 INTEGER)", del, add, 0,
         "ZIPDIC is not the dictionary's table"},
        {"a file that is not there", CreateNarrow, del, missing, 0, "cannot read " + missing},
        {"an empty add file (a failed download)", CreateNarrow, del, empty, 0, empty + ": no line gives a record"},
        {"an empty delete file", CreateNarrow, empty, add, 0, empty + ": no line gives a record"},
        {"a malformed line", CreateNarrow, malformed, add, 0, malformed + " line 2: 3 columns, not 15"},
        {"the add file fails once the delete file is read", CreateNarrow, del, add, 1, "cannot read " + add},
        {"something else fails once the deletes are done", CreateNarrow, del, add, 2, "interrupted"},
        {"stopped once the deletes are done", CreateNarrow, del, add, 3, "stopped by SIGTERM"},
        {"stopped before the commit", CreateNarrow, del, add, 4, "stopped by SIGTERM"},
    };
    const TScopeExit forget([] { ClearStopRequest(); });
    for (const auto& c : cases) {
        fs::remove(add);   // the symbolic link a case before may have left
        WriteFile("add.csv", Line("1000002"));
        DropTable();
        if (!c.createTable.empty()) {
            Exec(c.createTable);
            Exec(c.createTable == CreateNarrow ? "INSERT INTO ZIPDIC VALUES ('1000001', 'P', 'C', 'T', 'P', 'C', 'T')"
                                               : "INSERT INTO ZIPDIC (ZIP) VALUES ('1000001')");
        }
        ClearStopRequest();
        m_applyView.OnProgress = [&](TRefreshPhase phase, long done, long total) {
            if (c.midway == 1 && phase == rpMeasuring && !fs::is_symlink(c.add)) {
                fs::remove(c.add);
                fs::create_symlink("/proc/self/mem", c.add);   // opens, then fails its first read
            } else if (c.midway == 2 && phase == rpStoring) {
                throw Exception("interrupted");
            } else if (phase == rpStoring && (c.midway == 3 || (c.midway == 4 && done == total))) {
                RequestStop(SIGTERM);
            }
        };
        const std::vector<std::string> before =
            c.createTable.empty() ? std::vector<std::string>{} : Rows("SELECT * FROM ZIPDIC");
        const std::string error = RaisedText([&] { Apply(c.del, c.add); });
        EXPECT_EQ(error.rfind(c.wantError, 0), 0u) << c.name << ": " << error;
        if (!c.createTable.empty()) {
            EXPECT_EQ(Rows("SELECT * FROM ZIPDIC"), before) << c.name;
        }
    }
}

// The files are read once: what they hold by the time the rows are changed
// is not what goes in.
TEST_F(MonthlyApplyTest, StoresTheRecordsAsFirstRead)
{
    Seed({"1000001", "1000002"});
    const std::string del = WriteFile("del.csv", Line("1000001"));
    const std::string add = WriteFile("add.csv", Line("1000003"));
    m_applyView.OnProgress = [&](TRefreshPhase phase, long, long) {
        if (phase == rpStoring) {
            WriteFile("del.csv", Line("1000002"));
            WriteFile("add.csv", Line("1000004") + Line("1000005"));
        }
    };
    const TApplyReport report = Apply(del, add);
    EXPECT_EQ(Table(), (std::vector<std::string>{Row("1000002"), Row("1000003")}));
    EXPECT_EQ(report.Inserted, 1);
}

// While an apply runs, a second apply and a refresh on another connection
// fail at once and change nothing; the first goes on to its commit.
TEST_F(MonthlyApplyTest, ASecondApplyOrRefreshFailsAtOnce)
{
    Seed({"1000001", "1000002"});
    const std::string del = WriteFile("del.csv", Line("1000001"));
    const std::string add = WriteFile("add.csv", Line("1000003"));
    TIBDatabase other;
    other.SetDatabaseName(m_scratch->Name());
    SetLoginParams(other);
    other.SetConnected(true);
    std::vector<std::string> messages;
    m_applyView.OnProgress = [&](TRefreshPhase phase, long done, long) {
        if (phase != rpStoring || done != 1)
            return;
        TApplyView otherView;
        messages.push_back(RaisedText([&] { TMonthlyApply(other).Run({del, add}, false, otherView); }));
        messages.push_back(RaisedText([&] { TDictionaryRefresh(other).Run(add, otherView); }));
    };
    const TApplyReport report = Apply(del, add);
    ASSERT_EQ(messages.size(), 2u);
    for (const std::string& m : messages)
        EXPECT_EQ(m.rfind("ZIPDIC is being refreshed by another connection; nothing changed", 0), 0u) << m;
    EXPECT_EQ(report.Deleted, 1);
    EXPECT_EQ(Table(), (std::vector<std::string>{Row("1000002"), Row("1000003")}));
}

// A previous month made from the real file: records taken out, others
// changed, one that Japan Post has since removed, and the records with the
// longest town name gone, so that the table refreshed from it is narrower.
// The month's pair must turn that table into the one refreshed from the
// real file.
TEST_F(MonthlyApplyTest, RealFileFromThePreviousMonth)
{
#ifdef KX27_SANITIZE
    GTEST_SKIP() << "two refreshes of the real file take too long under the sanitizers";
#endif
    if (!fs::exists(KX27_KEN_ALL_ZIP))
        GTEST_SKIP() << KX27_KEN_ALL_ZIP << " is not there";
    if (std::system("command -v unzip >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "unzip is missing";
    const std::string unzip = "unzip -q -o '" + std::string(KX27_KEN_ALL_ZIP) + "' -d '" + m_folder.Dir().string() + "'";
    ASSERT_EQ(std::system(unzip.c_str()), 0) << unzip;

    std::vector<std::string> lines;
    std::vector<TDictionaryRecord> records;   // an empty one for a line without a record
    std::size_t longestTown = 0;
    TColumnWidths realWidths{};
    {
        TSourceFile source;
        TDictionaryRecord record;
        source.Open(m_folder.SourcePath());
        while (!source.Eof()) {
            source.ReadLine();
            lines.push_back(source.Line() + "\r\n");
            record = {};
            source.TakeRecord(record);
            records.push_back(record);
            longestTown = std::max(longestTown, record.Slots[rsAdr3].size());
            WidenColumns(realWidths, record.Slots);
        }
        source.Close();
    }
    ASSERT_EQ(lines.size(), 124825u);
    Refresh();
    const std::vector<std::string> real = Table();

    std::string previous, del, add;
    long delLines = 0;
    TColumnWidths previousWidths{};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i % 997 == 0 || records[i].Slots[rsAdr3].size() == longestTown) {
            add += lines[i];
            continue;
        }
        WidenColumns(previousWidths, records[i].Slots);
        if (i % 9973 == 5) {
            // The postal code (third field) changed: 99 and the line's number.
            const std::size_t from = lines[i].find(",\"", lines[i].find(',') + 1) + 2;
            std::string changed = lines[i];
            changed.replace(from, 7, std::to_string(9900000 + i % 100000));
            previous += changed;
            del += changed;
            add += lines[i];
            ++delLines;
        } else {
            previous += lines[i];
        }
    }
    ASSERT_LT(previousWidths[rsAdr3 - rsAdk1], static_cast<int>(longestTown));
    std::vector<std::string> widened;
    for (int k = 0; k < 6; ++k)
        if (previousWidths[k] < realWidths[k])
            widened.push_back(ZipdicTable.Columns[k + rsAdk1].Name);
    previous += Line("0000001", "GONE");   // a record since removed
    del += Line("0000001", "GONE") + Line("0000002", "NEVER");
    delLines += 2;
    m_folder.Write(previous);
    DropTable();   // a refresh never narrows a column: last month's table is made afresh
    Refresh();
    const std::vector<std::string> before = Table();
    const std::string delPath = WriteZip("del_2612.zip", "DEL_2612.CSV", del);
    const std::string addPath = WriteZip("add_2612.zip", "ADD_2612.CSV", add);

    const TApplyReport dry = Apply(delPath, addPath, true);
    EXPECT_EQ(Table(), before) << "a dry run changes nothing";
    const TApplyReport applied = Apply(delPath, addPath);
    EXPECT_EQ(Table(), real);
    for (const TApplyReport* r : {&dry, &applied}) {
        EXPECT_EQ(r->Deleted, delLines - 1);
        EXPECT_EQ(r->Unmatched, std::vector<long>{delLines});
        EXPECT_EQ(r->Inserted, r->AddRecords);
        EXPECT_TRUE(r->Refused.empty());
        EXPECT_EQ(r->WidenedColumns, widened);
        EXPECT_EQ(r->RowsAfter, static_cast<long>(real.size()));
        EXPECT_FALSE(r->AlreadyApplied);
    }

    const TApplyReport again = Apply(delPath, addPath);
    EXPECT_TRUE(again.AlreadyApplied);
    EXPECT_EQ(again.Unmatched.size(), static_cast<std::size_t>(delLines));
    EXPECT_EQ(again.RowsAfter, static_cast<long>(real.size()));
    EXPECT_EQ(Table(), real) << "applying twice changes nothing";
}

// The connection lost at the second block of row-key deletes: the error
// leaves the apply and the rows' transaction is never committed (the fake
// serves a ZIPDIC of the window's shape, 7 bytes wide, holding a row for
// each of the file's 300 records).
TEST(MonthlyApplyFake, LostConnectionCommitsNothing)
{
    UseFakeClient();
    TSourceFolder folder;
    folder.Write(NumberedLines(300));
    std::vector<TDictionaryRecord> rows;
    {
        TSourceFile source;
        source.Open(folder.SourcePath());
        while (!source.Eof()) {
            source.ReadLine();
            source.TakeRecord(rows.emplace_back());
        }
        source.Close();
    }
    std::string prepared;
    const auto catalogue = [&] { return prepared.find("RDB$RELATIONS") != std::string::npos; };
    fake::SetHook("isc_dsql_prepare", [&](const fake::TCall& call, ISC_STATUS*, ISC_STATUS&) {
        prepared = call.text;
        const char type = prepared.rfind("SELECT", 0) == 0 ? SQLSelect : SQLDelete;
        fake::SetInfoReply(isc_info_sql_stmt_type, std::string{static_cast<char>(isc_info_sql_stmt_type), 4, 0, type,
                                                               0, 0, 0, static_cast<char>(isc_info_end)});
        return false;
    });
    fake::SetAreaHook("isc_dsql_describe_bind", [&](XSQLDA* area) {
        area->sqld = static_cast<ISC_SHORT>(std::count(prepared.begin(), prepared.end(), '?'));
        for (int i = 0; i < area->sqld && i < area->sqln; ++i) {
            area->sqlvar[i].sqltype = SQL_VARYING + 1;
            area->sqlvar[i].sqllen = 7;
        }
    });
    // The catalogue's rows: name, VARCHAR, 7 bytes, character set NONE,
    // plain. The table's: the row key, then the seven columns.
    XSQLDA* out = nullptr;
    fake::SetAreaHook("isc_dsql_describe", [&](XSQLDA* area) {
        area->sqld = catalogue() ? 5 : 1 + rsCount;
        for (int i = 0; i < area->sqld && i < area->sqln; ++i) {
            area->sqlvar[i].sqltype = catalogue() ? (i == 0 ? SQL_VARYING : SQL_LONG) : (i == 0 ? SQL_TEXT : SQL_VARYING);
            area->sqlvar[i].sqllen = catalogue() ? (i == 0 ? 31 : 4) : (i == 0 ? 8 : 7);
        }
        out = area;
    });
    const auto putText = [&](int column, const std::string& text) {
        const short length = static_cast<short>(text.size());
        std::memcpy(out->sqlvar[column].sqldata, &length, sizeof length);
        std::memcpy(out->sqlvar[column].sqldata + 2, text.data(), text.size());
    };
    std::size_t fetched = 0;
    fake::SetHook("isc_dsql_fetch", [&](const fake::TCall&, ISC_STATUS*, ISC_STATUS& result) {
        result = 100;
        if (fetched >= (catalogue() ? static_cast<std::size_t>(rsCount) : rows.size()))
            return true;
        if (catalogue()) {
            const ISC_LONG values[] = {37, 7, 0, 1};
            putText(0, ZipdicTable.Columns[fetched].Name);
            for (int i = 1; i < 5; ++i)
                std::memcpy(out->sqlvar[i].sqldata, &values[i - 1], sizeof(ISC_LONG));
        } else {
            const std::uint64_t key = fetched + 1;
            std::memcpy(out->sqlvar[0].sqldata, &key, sizeof key);
            for (int k = 0; k < rsCount; ++k)
                putText(k + 1, rows[fetched].Slots[static_cast<std::size_t>(k)]);
        }
        ++fetched;
        result = 0;
        return true;
    });
    fake::SetHook("isc_dsql_free_statement", [&](const fake::TCall&, ISC_STATUS*, ISC_STATUS&) {
        fetched = 0;   // the next select starts from its first row
        return false;
    });
    int executes = 0;
    LoseConnectionAtExecute([&] { return ++executes == 2; });
    TIBDatabase database;
    database.SetDatabaseName("fake.fdb");
    database.SetConnected(true);
    TApplyView view;
    long stored = 0;
    view.OnProgress = [&](TRefreshPhase phase, long done, long) {
        if (phase == rpStoring)
            stored = done;
    };
    EXPECT_THROW(TMonthlyApply(database).Run({folder.SourcePath(), folder.SourcePath()}, false, view), EIBError);
    EXPECT_EQ(executes, 2);
    EXPECT_GT(stored, 0) << "the first block was deleted";
    EXPECT_LT(stored, 300) << "the connection was lost before the last";
    EXPECT_FALSE(database.Connected());
    EXPECT_EQ(fake::CallCount("isc_commit_transaction"), 1);   // the catalogue read's only
}
