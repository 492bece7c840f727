// The business offices' table JIGYOSYO beside ZIPDIC on both engines: each
// refreshed from its own file and only from it, a file of mixed layouts
// refused, a month applied to it, and the real jigyosyo.zip stored as it is.
#include "BuildTestSupport.h"

#include <MonthlyApply.h>
#include <Refresh.h>
#include <TableDescription.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

struct TQuietView : RefreshView {
    void Progress(TRefreshPhase, long, long) override {}
};

// One line of JIGYOSYO.CSV (UTF-8 here, CP932 in the file).
std::string OfficeLine(const std::string& zip, const std::string& name, const std::string& town = "大手町",
                       const std::string& kind = "0", const std::string& reading = "ﾆﾂﾎﾟﾝ")
{
    return Cp932("13101,\"" + reading + "\",\"" + name + "\",\"東京都\",\"千代田区\",\"" + town +
                 "\",\"２－３－１\",\"" + zip + "\",\"100  \",\"銀座\"," + kind + ",0,0\r\n");
}

// Its row as SelectRows gives it.
std::string OfficeRow(const std::string& zip, const std::string& name, const std::string& town = "大手町",
                      const std::string& kind = "0", const std::string& reading = "ﾆﾂﾎﾟﾝ")
{
    return zip + "|13101|" + Cp932(reading) + "|" + Cp932(name) + "|" + Cp932("東京都|千代田区|") +
           (town.empty() ? "<null>" : Cp932(town)) + "|" + Cp932("２－３－１|銀座|") + kind + "|0";
}

// Three offices: one with no town (NULL), a post-office box (KIND 1), and
// one whose reading begins with a blank and whose name holds NEC's ㈱
// (0x878A), with MULTI 2.
const std::string kOffices = OfficeLine("1008791", "日本郵政") + OfficeLine("1008798", "郵便局", "", "1") +
                             Cp932("13101,\" ﾃｽﾄ\",\"㈱試験\",\"東京都\",\"千代田区\",\"丸の内\",\"１\",\"1000005\","
                                   "\"100  \",\"銀座\",0,2,0\r\n");

const std::string kOfficesSelect = "SELECT ZIP, JISCODE, NAMEK, NAME, ADR1, ADR2, ADR3, ADR4, POSTOFFICE, KIND, MULTI "
                                   "FROM JIGYOSYO ORDER BY ZIP";
const std::string kAddressesSelect = "SELECT ZIP, ADK1, ADK2, ADK3, ADR1, ADR2, ADR3 FROM ZIPDIC ORDER BY ZIP";

std::string WidthsQuery(const std::string& table)
{
    return "SELECT TRIM(R.RDB$FIELD_NAME) || ' ' || F.RDB$FIELD_TYPE || ' ' || F.RDB$FIELD_LENGTH"
           " FROM RDB$RELATION_FIELDS R JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE"
           " WHERE R.RDB$RELATION_NAME = '" + table + "' ORDER BY R.RDB$FIELD_POSITION";
}

class OfficesOnEngine : public EngineTest {
protected:
    void SetUp() override { SetUpEngine("offices-"); }

    std::vector<std::string> Rows(const std::string& select) { return SelectRows(*m_database, *m_transaction, select); }
    std::string Write(const std::string& name, const std::string& bytes)
    {
        const std::string path = (m_folder.Dir() / name).string();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }
    TRefreshReport Refresh(const std::string& bytes)
    {
        return TDictionaryRefresh(*m_database).Run(Write("file.csv", bytes), m_view);
    }

    TSourceFolder m_folder;
    TQuietView m_view;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Engine, OfficesOnEngine, ::testing::Values(TTarget::Server, TTarget::Embedded), TargetName);

// Each file goes to its own table, whose rows are the file's (quotes gone, a
// leading blank and NEC's ㈱ kept, an empty value NULL, KIND and MULTI as
// numbers); the other table keeps its rows. A file whose lines are not all of
// one table's layout changes neither.
TEST_P(OfficesOnEngine, EachTableRefreshedFromItsOwnLayoutOnly)
{
    const TRefreshReport addresses = Refresh(NumberedLines(3));
    EXPECT_EQ(addresses.Table, &ZipdicTable);
    const std::vector<std::string> zipdic = Rows(kAddressesSelect);
    ASSERT_EQ(zipdic.size(), 3u);

    const TRefreshReport offices = Refresh(kOffices);
    EXPECT_EQ(offices.Table, &JigyosyoTable);
    EXPECT_TRUE(offices.TableCreated);
    EXPECT_EQ(offices.RowsAfter, 3);
    const std::vector<std::string> jigyosyo = {
        "1000005|13101|" + Cp932(" ﾃｽﾄ|㈱試験|東京都|千代田区|丸の内|１|銀座|0|2"),
        OfficeRow("1008791", "日本郵政"),
        OfficeRow("1008798", "郵便局", "", "1"),
    };
    EXPECT_EQ(Rows(kOfficesSelect), jigyosyo);
    ASSERT_NE(jigyosyo[0].find("\x87\x8A"), std::string::npos);
    // VARCHAR is type 37, SMALLINT 7; ZIP and JISCODE keep their fixed widths.
    EXPECT_EQ(Rows(WidthsQuery("JIGYOSYO")),
              (std::vector<std::string>{"ZIP 37 7", "JISCODE 37 5", "NAMEK 37 5", "NAME 37 8", "ADR1 37 6",
                                        "ADR2 37 8", "ADR3 37 6", "ADR4 37 10", "POSTOFFICE 37 4", "KIND 7 2",
                                        "MULTI 7 2"}));
    EXPECT_EQ(Rows(kAddressesSelect), zipdic);

    Refresh(NumberedLines(2));
    EXPECT_EQ(Rows(kAddressesSelect).size(), 2u);
    EXPECT_EQ(Rows(kOfficesSelect), jigyosyo);

    const std::string address = SourceLine("0600001", "\xB1", "\xB1", "\xB1", "\x93\x8C", "\x93\x8C", "\x93\x8C");
    const struct {
        std::string bytes;
        std::string message;
    } mixed[] = {
        {address + OfficeLine("1008791", "A"), "file.csv line 2: 13 columns, not 15"},
        {OfficeLine("1008791", "A") + address, "file.csv line 2: 15 columns, not 13"},
        {"1,2,3,4,5,6,7,8,9,10,11,12,13,14\r\n", "file.csv line 1: 14 columns, not 15 (KEN_ALL.CSV) or 13"},
    };
    for (const auto& c : mixed) {
        const std::string raised = RaisedText([&] { Refresh(c.bytes); });
        EXPECT_NE(raised.find(c.message), std::string::npos) << raised;
        EXPECT_EQ(Rows(kAddressesSelect).size(), 2u);
        EXPECT_EQ(Rows(kOfficesSelect), jigyosyo);
    }
}

// A month of the offices: the delete record takes its row (KIND compared as
// a number), the adds go in with NAME widened; the same pair again is
// already there. Files of the two tables are not one month's pair.
TEST_P(OfficesOnEngine, MonthAppliedAndAppliedAgain)
{
    Refresh(kOffices);
    const std::string del = Write("jdel.csv", OfficeLine("1008798", "郵便局", "", "01"));
    const std::string add =
        Write("jadd.csv", OfficeLine("1008799", "郵便局", "", "1") + OfficeLine("1008790", "株式会社　新しい会社"));
    TMonthlyApply apply(*m_database);
    const TApplyReport report = apply.Run({del, add}, false, m_view);
    EXPECT_EQ(report.Table, &JigyosyoTable);
    EXPECT_EQ(report.Deleted, 1);
    EXPECT_TRUE(report.Unmatched.empty());
    EXPECT_EQ(report.Inserted, 2);
    EXPECT_EQ(report.WidenedColumns, std::vector<std::string>{"NAME"});
    const std::vector<std::string> after = Rows(kOfficesSelect);
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[1], OfficeRow("1008790", "株式会社　新しい会社"));
    EXPECT_EQ(after[3], OfficeRow("1008799", "郵便局", "", "1"));

    const TApplyReport again = apply.Run({del, add}, false, m_view);
    EXPECT_TRUE(again.AlreadyApplied);
    EXPECT_EQ(Rows(kOfficesSelect), after);

    const std::string addresses = Write("add.csv", NumberedLines(1));
    EXPECT_THROW(apply.Run({del, addresses}, false, m_view), ELayoutsDiffer);
    EXPECT_EQ(Rows(kOfficesSelect), after);
}

// The real jigyosyo.zip: every line a row, its values exactly the file's
// (read here by a plain split: no value of the file holds a comma or a
// quote), and every measured width the longest value.
TEST_P(OfficesOnEngine, RealFileStoredAsItIs)
{
    if (GetParam() == TTarget::Server)
        GTEST_SKIP() << "the embedded engine stores the same rows";
    std::string csv;
    {
        const std::string unzip = "unzip -p '" + std::string(KX27_JIGYOSYO_ZIP) + "'";
        FILE* pipe = popen(unzip.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[65536];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            csv.append(buffer, n);
        ASSERT_EQ(pclose(pipe), 0) << unzip;
    }
    static const int stored[] = {8, 1, 2, 3, 4, 5, 6, 7, 10, 11, 12};
    std::vector<std::string> want;
    std::map<int, std::size_t> longest;
    for (std::size_t at = 0; at < csv.size();) {
        const std::size_t end = csv.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::vector<std::string> fields;
        for (std::size_t from = at;;) {
            const std::size_t comma = std::min(csv.find(',', from), end);
            std::string field = csv.substr(from, comma - from);
            if (field.size() >= 2 && field.front() == '"')
                field = field.substr(1, field.size() - 2);
            fields.push_back(field);
            if (comma == end)
                break;
            from = comma + 1;
        }
        ASSERT_EQ(fields.size(), 13u);
        std::string row;
        for (const int column : stored) {
            const std::string& value = fields[static_cast<std::size_t>(column - 1)];
            row += (row.empty() ? "" : "|") + (value.empty() ? "<null>" : value);
            longest[column] = std::max(longest[column], value.size());
        }
        want.push_back(row);
        at = end + 2;
    }
    ASSERT_EQ(want.size(), 22416u);

    const TRefreshReport report = TDictionaryRefresh(*m_database).Run(KX27_JIGYOSYO_ZIP, m_view);
    EXPECT_EQ(report.Table, &JigyosyoTable);
    EXPECT_EQ(report.Inserted, 22416);
    EXPECT_TRUE(report.Refused.empty());
    std::vector<std::string> rows = Rows(kOfficesSelect.substr(0, kOfficesSelect.find(" ORDER BY")));
    std::sort(rows.begin(), rows.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(rows, want);
    EXPECT_EQ(Rows("SELECT COUNT(DISTINCT ZIP), COUNT(ADR3), COUNT(ADR4) FROM JIGYOSYO"),
              std::vector<std::string>{"22192|22299|22378"});
    std::vector<std::string> widths;
    for (const int column : stored)
        widths.push_back(std::to_string(column == 8 ? 7 : column == 1 ? 5 : longest[column]));
    std::vector<std::string> got;
    for (const std::string& line : Rows(WidthsQuery("JIGYOSYO")))
        if (line.find(" 37 ") != std::string::npos)
            got.push_back(line.substr(line.rfind(' ') + 1));
    widths.resize(9);   // KIND and MULTI are SMALLINT
    EXPECT_EQ(got, widths);
}
