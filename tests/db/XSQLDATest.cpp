// Descriptor areas without a server: growth, buffers by type code, the names
// given to entries, values read as text and as typed values, and the
// parameter writers. Entries are described by hand as a describe call would.
#include "TestSupport.h"

#include <IBHeader.h>
#include <IBSQL.h>

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <new>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// 2024/01/05 in the client's day count (days from 1858/11/17), and 09:05:03.
constexpr ISC_DATE kDate20240105 = 60314;
constexpr ISC_TIME kTime090503 = (9 * 3600 + 5 * 60 + 3) * 10000;

void SetName(char* field, ISC_SHORT& length, const std::string& text)
{
    std::memset(field, 0, 32);
    std::memcpy(field, text.data(), std::min<std::size_t>(text.size(), 32));
    length = static_cast<ISC_SHORT>(text.size());
}

struct TColumn {
    short type;
    short length;
    short scale = 0;
    std::string alias = {};
    std::string relation = {};
    std::string sqlName = {};
};

// Describes the area's entries as isc_dsql_describe would and binds them.
void Describe(TIBXSQLDA& area, const std::vector<TColumn>& columns)
{
    area.Resize(static_cast<int>(columns.size()));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        XSQLVAR* x = &area.AsXSQLDA()->sqlvar[i];
        x->sqltype = columns[i].type;
        x->sqllen = columns[i].length;
        x->sqlscale = columns[i].scale;
        SetName(x->aliasname, x->aliasname_length, columns[i].alias);
        SetName(x->relname, x->relname_length, columns[i].relation);
        SetName(x->sqlname, x->sqlname_length, columns[i].sqlName);
    }
    area.BindBuffers();
}

template <typename T>
std::string Raw(T value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
void Put(TIBXSQLVAR& v, const T& value)
{
    std::memcpy(v.XSqlVar()->sqldata, &value, sizeof value);
}

void PutVarying(TIBXSQLVAR& v, const std::string& bytes)
{
    const short length = static_cast<short>(bytes.size());
    std::memcpy(v.XSqlVar()->sqldata, &length, 2);
    std::memcpy(v.XSqlVar()->sqldata + 2, bytes.data(), bytes.size());
}

// Registers the parameter names as the parameter walk does, then describes
// and binds as isc_dsql_describe_bind would.
void DescribeParams(TIBXSQLDA& area, const std::vector<std::string>& names, const std::vector<TColumn>& columns)
{
    area.Resize(static_cast<int>(names.size()));
    for (std::size_t i = 0; i < names.size(); ++i)
        area.RegisterName(names[i], static_cast<int>(i));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        XSQLVAR* x = &area.AsXSQLDA()->sqlvar[i];
        x->sqltype = columns[i].type;
        x->sqllen = columns[i].length;
        x->sqlscale = columns[i].scale;
        SetName(x->sqlname, x->sqlname_length, columns[i].sqlName);
    }
    area.BindBuffers();
}

std::string Bytes(const TIBXSQLVAR& v)
{
    return std::string(v.XSqlVar()->sqldata, static_cast<std::size_t>(v.XSqlVar()->sqllen));
}

std::vector<std::string> Names(const TIBXSQLDA& area)
{
    std::vector<std::string> names;
    for (int i = 0; i < area.Count(); ++i)
        names.push_back(area.Item(i).Name());
    return names;
}

class DescriptorArea : public ::testing::Test {
protected:
    void SetUp() override { UseFakeClient(); }
};

} // namespace

TEST_F(DescriptorArea, GrowthKeepsEveryEntryAndItsBuffersReachable)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    EXPECT_EQ(area.AsXSQLDA(), nullptr);
    Describe(area, {{SQL_VARYING + 1, 10}, {SQL_LONG, 4}});
    PutVarying(area[0], "abc");
    Put<ISC_LONG>(area[1], 77);

    area.Resize(40);   // moves the client structure
    ASSERT_EQ(area.Count(), 40);
    EXPECT_EQ(area.AsXSQLDA()->version, SQLDA_VERSION1);
    EXPECT_EQ(area.AsXSQLDA()->sqln, 40);
    EXPECT_EQ(area.AsXSQLDA()->sqld, 40);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(area[i].XSqlVar(), &area.AsXSQLDA()->sqlvar[i]) << i;
    EXPECT_EQ(area[0].AsText(), "abc");
    EXPECT_EQ(area[1].AsText(), "77");
    EXPECT_EQ(area[39].XSqlVar()->sqltype, 0);   // new entries arrive zero-filled
}

TEST_F(DescriptorArea, FailedGrowthKeepsTheEntriesInUse)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer aborts on a refused allocation instead of failing it";
#else
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    Describe(area, {{SQL_LONG, 4}, {SQL_LONG, 4}});
    // Room for a few more megabytes of address space, not for 30000 entries.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (2 << 20);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    bool refused = false;
    try {
        area.Resize(30000);
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    setrlimit(RLIMIT_AS, &saved);
    ASSERT_TRUE(refused);
    EXPECT_EQ(area.Count(), 2);
    EXPECT_EQ(area.AsXSQLDA()->sqld, 2);
    EXPECT_EQ(ClientErrorText([&] { area.Item(2); }, ibxeXSQLDAIndexOutOfRange),
              Cp932("XSQLDA インデックスが範囲外です。"));
    area.Resize(30000);
    EXPECT_EQ(area.Count(), 30000);
    EXPECT_EQ(area[29999].XSqlVar(), &area.AsXSQLDA()->sqlvar[29999]);
#endif
}

TEST_F(DescriptorArea, ResizeToZeroKeepsTheStructureForReuse)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    area.Resize(3);
    XSQLDA* structure = area.AsXSQLDA();
    area.RegisterName("A", 0);

    area.Resize(0);
    EXPECT_EQ(area.Count(), 0);
    EXPECT_EQ(area.AsXSQLDA(), structure);
    EXPECT_EQ(structure->sqln, 3);
    EXPECT_EQ(structure->sqld, 3);
    EXPECT_EQ(area.FindByName("A"), nullptr);
    EXPECT_EQ(ClientErrorText([&] { area.Item(0); }, ibxeXSQLDAIndexOutOfRange),
              Cp932("XSQLDA インデックスが範囲外です。"));

    area.Resize(2);
    EXPECT_EQ(area.AsXSQLDA(), structure);
    EXPECT_EQ(area.Size(), 3);
    EXPECT_EQ(structure->sqln, 2);
    EXPECT_EQ(structure->sqld, 2);
}

TEST_F(DescriptorArea, ItemOutsideTheEntriesInUseIsRefused)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    area.Resize(4);
    area.Resize(2);
    for (int index : {-1, 2, 3, 4})
        EXPECT_EQ(ClientErrorText([&] { area.Item(index); }, ibxeXSQLDAIndexOutOfRange),
                  Cp932("XSQLDA インデックスが範囲外です。"))
            << index;
}

TEST_F(DescriptorArea, BuffersFollowTheTypeCode)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    const struct {
        short type;
        short length;
        int maxLength;
        std::size_t writable;
    } cases[] = {
        {SQL_VARYING, 31, 31, 33}, {SQL_TEXT, 31, 31, 31},      {SQL_TEXT, 0, 0, 1},
        {SQL_DOUBLE, 8, 0, 8},     {SQL_FLOAT, 4, 0, 4},        {SQL_LONG, 4, 0, 4},
        {SQL_SHORT, 2, 0, 2},      {SQL_TIMESTAMP, 8, 0, 8},    {SQL_BLOB, 8, 0, 8},
        {SQL_D_FLOAT, 8, 0, 8},    {SQL_ARRAY, 8, 0, 8},        {SQL_QUAD, 8, 0, 8},
        {SQL_TYPE_TIME, 4, 0, 4},  {SQL_TYPE_DATE, 4, 0, 4},    {SQL_INT64, 8, 0, 8},
        {SQL_LONG, 0, 0, 4},   // a fixed-size type never gets less than its size
    };
    for (const auto& c : cases) {
        for (short nullable : {0, 1}) {
            Describe(area, {{static_cast<short>(c.type + nullable), c.length}});
            TIBXSQLVAR& v = area[0];
            EXPECT_EQ(v.MaxLength(), c.maxLength) << c.type;
            ASSERT_NE(v.XSqlVar()->sqldata, nullptr) << c.type;
            for (std::size_t i = 0; i < c.writable; ++i)   // the sanitizer build checks the extent
                EXPECT_EQ(v.XSqlVar()->sqldata[i], 0) << c.type << " byte " << i;
            std::memset(v.XSqlVar()->sqldata, 0x5A, c.writable);
            if (nullable) {
                ASSERT_NE(v.XSqlVar()->sqlind, nullptr) << c.type;
                EXPECT_EQ(*v.XSqlVar()->sqlind, 0) << c.type;
            } else {
                EXPECT_EQ(v.XSqlVar()->sqlind, nullptr) << c.type;
            }
        }
    }
}

TEST_F(DescriptorArea, UnknownTypeCodeStopsTheBinding)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    const struct {
        short type;
        int reported;
    } cases[] = {{998, 998}, {999, 998}, {SQL_BOOLEAN + 1, SQL_BOOLEAN}, {0, 0}};
    for (const auto& c : cases) {
        std::string text = ClientErrorText([&] { Describe(area, {{c.type, 4}}); }, ibxeUnknownSQLDataType);
        EXPECT_EQ(text, Cp932("SQL データ型 (" + std::to_string(c.reported) + ") が不明です。")) << c.type;
    }
}

TEST_F(DescriptorArea, EntriesAreNamedFromTheirAliases)
{
    const std::string a31(31, 'A');
    const struct {
        const char* name;
        std::vector<std::string> aliases;
        std::vector<std::string> want;
    } cases[] = {
        {"distinct", {"ZIP", "ADK1"}, {"ZIP", "ADK1"}},
        {"duplicate", {"ZIP", "ZIP"}, {"ZIP", "ZIP1"}},
        {"three", {"X", "X", "X"}, {"X", "X1", "X2"}},
        {"no alias", {"", "", ""}, {"F_1", "F_2", "F_3"}},
        {"generated clashes", {"F_1", ""}, {"F_1", "F_2"}},
        {"case folded", {"zip", "ZIP"}, {"ZIP", "ZIP1"}},
        {"31 characters", {a31, a31}, {a31, std::string(30, 'A') + "1"}},
        {"two-digit suffix", {"X", "X", "X", "X", "X", "X", "X", "X", "X", "X", "X"},
         {"X", "X1", "X2", "X3", "X4", "X5", "X6", "X7", "X8", "X9", "X10"}},
        {"31 characters, two digits",
         {a31, a31, a31, a31, a31, a31, a31, a31, a31, a31, a31},
         {a31, std::string(30, 'A') + "1", std::string(30, 'A') + "2", std::string(30, 'A') + "3",
          std::string(30, 'A') + "4", std::string(30, 'A') + "5", std::string(30, 'A') + "6",
          std::string(30, 'A') + "7", std::string(30, 'A') + "8", std::string(30, 'A') + "9",
          std::string(29, 'A') + "10"}},
    };
    for (const auto& c : cases) {
        TIBSQL sql;
        TIBXSQLDA& area = sql.OutputArea();
        std::vector<TColumn> columns;
        for (const std::string& alias : c.aliases)
            columns.push_back({SQL_LONG, 4, 0, alias});
        Describe(area, columns);
        EXPECT_EQ(Names(area), c.want) << c.name;
        for (int i = 0; i < area.Count(); ++i) {
            // The name written back is what the result set reads, to its recorded length.
            EXPECT_EQ(UpperCase(area[i].AliasName()), c.want[static_cast<std::size_t>(i)]) << c.name << " " << i;
            EXPECT_EQ(area.FindByName(c.want[static_cast<std::size_t>(i)]), &area[i]) << c.name << " " << i;
        }
    }
}

TEST_F(DescriptorArea, RegisteredNamesAreKeptByTheBinding)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    area.Resize(2);
    area.RegisterName("relation", 0);
    area.RegisterName("\"Mixed\"", 1);
    for (int i = 0; i < 2; ++i) {
        XSQLVAR* x = &area.AsXSQLDA()->sqlvar[i];
        x->sqltype = SQL_TEXT + 1;
        x->sqllen = 31;
    }
    area.BindBuffers();
    EXPECT_EQ(Names(area), (std::vector<std::string>{"RELATION", "Mixed"}));
    EXPECT_EQ(area[0].AliasName(), "");
}

TEST_F(DescriptorArea, UniqueRelationNameIsSharedByAllNamedColumns)
{
    const struct {
        const char* name;
        std::vector<std::string> relations;
        std::string want;
    } cases[] = {
        {"one table", {"ZIPDIC", "ZIPDIC", "ZIPDIC"}, "ZIPDIC"},
        {"expression columns", {"ZIPDIC", "", "ZIPDIC"}, "ZIPDIC"},
        {"join", {"ZIPDIC", "OTHER"}, ""},
        {"join, first table again", {"ZIPDIC", "OTHER", "ZIPDIC"}, ""},
        {"no table", {"", ""}, ""},
    };
    for (const auto& c : cases) {
        TIBSQL sql;
        TIBXSQLDA& area = sql.OutputArea();
        Describe(area, {{SQL_LONG, 4, 0, "OLD", "STALE"}});
        std::vector<TColumn> columns;
        for (const std::string& relation : c.relations)
            columns.push_back({SQL_LONG, 4, 0, "", relation});
        Describe(area, columns);
        EXPECT_EQ(area.UniqueRelationName(), c.want) << c.name;
    }
}

TEST_F(DescriptorArea, NamesAreNormalisedByDialect)
{
    const struct {
        int dialect;
        std::string name;
        std::string want;
    } cases[] = {
        {3, "zip", "ZIP"},
        {3, "  zip\t", "ZIP"},
        {3, "\"Zip\"", "Zip"},
        {3, "\"a\"\"b\"", "a\"b"},
        {3, "\"", ""},
        {3, "\x83\x5Cz", "\x83\x5CZ"},   // ソz: the trail byte is not a letter to fold
        {1, "zip", "ZIP"},
        {1, "\"Zip\"", "\"ZIP\""},
    };
    for (const auto& c : cases) {
        TIBDatabase database;
        database.SetSQLDialect(c.dialect);
        TIBSQL sql;
        sql.SetDatabase(&database);
        TIBXSQLDA& area = sql.OutputArea();
        area.Resize(1);
        area.RegisterName(c.name, 0);
        EXPECT_EQ(area[0].Name(), c.want) << c.dialect << " " << c.name;
        EXPECT_EQ(area.FindByName(c.name), &area[0]) << c.dialect << " " << c.name;
    }
}

TEST_F(DescriptorArea, ValuesReadAsText)
{
    const struct {
        const char* name;
        short type;
        short length;
        short scale;
        std::string bytes;
        std::string want;
    } cases[] = {
        {"varchar", SQL_VARYING, 10, 0, std::string("\x03\x00" "abc", 5), "abc"},
        {"varchar, kanji", SQL_VARYING, 10, 0, std::string("\x04\x00\x83\x5C\x8E\x9A", 6), "\x83\x5C\x8E\x9A"},
        {"varchar, empty", SQL_VARYING, 10, 0, std::string("\x00\x00", 2), ""},
        {"varchar, length word too big", SQL_VARYING, 3, 0, std::string("\xFF\x00" "abc", 5), "abc"},
        {"char", SQL_TEXT, 8, 0, "ab      ", "ab      "},
        {"integer", SQL_LONG, 4, 0, std::string("\xD6\xFF\xFF\xFF", 4), "-42"},
        {"numeric(9,2)", SQL_LONG, 4, -2, std::string("\xE2\x04\x00\x00", 4), "12.5"},
        {"numeric(9,2) small negative", SQL_LONG, 4, -2, std::string("\xFB\xFF\xFF\xFF", 4), "-0.05"},
        {"numeric(9,2) whole", SQL_LONG, 4, -2, std::string("\x2C\x01\x00\x00", 4), "3"},
        {"smallint", SQL_SHORT, 2, 0, std::string("\x07\x00", 2), "7"},
        {"smallint scale -1", SQL_SHORT, 2, -1, std::string("\x0F\x00", 2), "1.5"},
        {"bigint", SQL_INT64, 8, 0, std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 8), "9223372036854775807"},
        {"numeric(18,4)", SQL_INT64, 8, -4, std::string("\x15\xCD\x5B\x07\x00\x00\x00\x00", 8), "12345.6789"},
        {"numeric(18,6)", SQL_INT64, 8, -6, std::string("\x87\xD6\x12\x00\x00\x00\x00\x00", 8), "1.234567"},
        {"double", SQL_DOUBLE, 8, 0, Raw(1.5), "1.5"},
        {"double 0.1", SQL_DOUBLE, 8, 0, Raw(0.1), "0.1"},
        {"double 1E20", SQL_DOUBLE, 8, 0, Raw(1e20), "1E20"},
        {"double 1.5E-7", SQL_DOUBLE, 8, 0, Raw(1.5e-7), "1.5E-7"},
        {"double 0.0001", SQL_DOUBLE, 8, 0, Raw(0.0001), "0.0001"},
        {"double -123456.75", SQL_DOUBLE, 8, 0, Raw(-123456.75), "-123456.75"},
        {"float", SQL_FLOAT, 4, 0, Raw(0.5f), "0.5"},
        {"d_float", SQL_D_FLOAT, 8, 0, Raw(1.5), "1.5"},
        {"date", SQL_TYPE_DATE, 4, 0, Raw(kDate20240105), "2024/01/05"},
        {"time", SQL_TYPE_TIME, 4, 0, Raw(kTime090503), "09:05:03"},
        {"array", SQL_ARRAY, 8, 0, std::string(8, '\0'), "(Array)"},
    };
    for (const auto& c : cases) {
        TIBSQL sql;
        TIBXSQLDA& area = sql.OutputArea();
        Describe(area, {{c.type, c.length, c.scale}});
        std::memcpy(area[0].XSqlVar()->sqldata, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(area[0].AsText(), c.want) << c.name;
    }
}

TEST_F(DescriptorArea, TimestampAndDialectDependentDate)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    Describe(area, {{SQL_TIMESTAMP, 8}, {SQL_TYPE_DATE, 4}});
    Put(area[0], ISC_TIMESTAMP{kDate20240105, kTime090503 + 1234});
    Put(area[1], kDate20240105);
    EXPECT_EQ(area[0].AsText(), "2024/01/05 09:05:03");

    const struct {
        int dialect;
        std::string want;
    } cases[] = {{3, "2024/01/05"}, {1, "2024/01/05 00:00:00"}, {2, ""}};
    for (const auto& c : cases) {
        TIBDatabase database;
        database.SetSQLDialect(c.dialect);
        sql.SetDatabase(&database);
        EXPECT_EQ(area[1].AsText(), c.want) << c.dialect;
        sql.SetDatabase(nullptr);
    }
}

TEST_F(DescriptorArea, NullOnlyForNullableEntries)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    Describe(area, {{SQL_VARYING + 1, 10}, {SQL_LONG + 1, 4}});
    PutVarying(area[0], "abc");
    *area[0].XSqlVar()->sqlind = -1;
    *area[1].XSqlVar()->sqlind = -1;
    EXPECT_TRUE(area[0].IsNull());
    EXPECT_EQ(area[0].AsText(), "");
    EXPECT_EQ(area[0].AsPointer(), nullptr);
    EXPECT_EQ(area[1].AsInt64(), 0);

    // The same entry described again as not nullable: whatever an indicator
    // still says, the value is there.
    short staleIndicator = -1;
    area[0].XSqlVar()->sqlind = &staleIndicator;
    area[0].XSqlVar()->sqltype = SQL_VARYING;
    EXPECT_FALSE(area[0].IsNull());
    EXPECT_EQ(area[0].AsText(), "abc");
}

TEST_F(DescriptorArea, UnreadableTypesAreReported)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    Describe(area, {{SQL_QUAD, 8}, {SQL_BLOB, 8}});
    EXPECT_EQ(ClientErrorText([&] { area[0].AsText(); }, ibxeInvalidDataConversion), Cp932("不正な型変換"));
    EXPECT_EQ(ClientErrorText([&] { area[1].AsText(); }, ibxeNotSupported), Cp932("サポートされていない機能"));
}

TEST_F(DescriptorArea, TrimmedTextDropsTrailingBlanksAndControls)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    Describe(area, {{SQL_TEXT, 8}});
    std::memcpy(area[0].XSqlVar()->sqldata, " ab\t \r  ", 8);
    EXPECT_EQ(area[0].AsTrimmedText(), " ab");
}

TEST_F(DescriptorArea, TypedReaders)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    Describe(area, {{SQL_LONG, 4, -2}, {SQL_LONG, 4, -2}, {SQL_INT64, 8}, {SQL_VARYING, 10}, {SQL_VARYING, 10},
                    {SQL_SHORT, 2, -1}, {SQL_INT64, 8, -6}, {SQL_TIMESTAMP, 8}, {SQL_DOUBLE, 8}});
    Put<ISC_LONG>(area[0], 1250);          // 12.50
    Put<ISC_LONG>(area[1], -1250);
    Put<ISC_INT64>(area[2], 5000000000LL);
    PutVarying(area[3], " 42 ");
    PutVarying(area[4], "4x");
    Put<ISC_SHORT>(area[5], 15);           // 1.5
    Put<ISC_INT64>(area[6], 1234567);      // 1.234567
    Put(area[7], ISC_TIMESTAMP{kDate20240105, 0});
    Put(area[8], 2.5);

    EXPECT_EQ(area[0].AsInt64(), 13);
    EXPECT_EQ(area[1].AsInt64(), -13);
    EXPECT_EQ(area[0].AsCurrency(), 125000);
    EXPECT_DOUBLE_EQ(area[0].AsDouble(), 12.5);
    EXPECT_EQ(area[2].AsInt64(), 5000000000LL);
    EXPECT_EQ(area[3].AsInt64(), 42);
    EXPECT_EQ(area[3].AsLong(), 42);
    EXPECT_DOUBLE_EQ(area[5].AsDouble(), 1.5);
    EXPECT_EQ(area[6].AsCurrency(), 12346);
    EXPECT_DOUBLE_EQ(area[7].AsDateTime(), 45296.0);   // 2024/01/05 as the runtime counts it
    EXPECT_EQ(area[8].AsInt64(), 3);
    EXPECT_EQ(area[8].AsCurrency(), 25000);

    const struct {
        const char* name;
        std::function<void()> read;
    } refused[] = {
        {"bigint beyond 32 bits", [&] { area[2].AsLong(); }},
        {"text that is no number", [&] { area[4].AsInt64(); }},
        {"text as double", [&] { area[4].AsDouble(); }},
        {"timestamp as integer", [&] { area[7].AsInt64(); }},
        {"integer as date-time", [&] { area[0].AsDateTime(); }},
    };
    for (const auto& r : refused)
        EXPECT_EQ(ClientErrorText(r.read, ibxeInvalidDataConversion), Cp932("不正な型変換")) << r.name;
}

TEST_F(DescriptorArea, AssignTextStoresFixedTextInEverySameNamedEntry)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    DescribeParams(area, {"RELATION", "OTHER", "RELATION"},
                   {{SQL_TEXT + 1, 31}, {SQL_LONG + 1, 4}, {SQL_VARYING, 31}});
    area[0].AssignText("ZIPDIC");
    for (int i : {0, 2}) {
        const TIBXSQLVAR& v = area[i];
        EXPECT_EQ(v.XSqlVar()->sqltype, SQL_TEXT + 1) << i;   // takes the nullable bit of the variable written
        EXPECT_EQ(v.Length(), 6) << i;
        EXPECT_EQ(Bytes(v), "ZIPDIC") << i;
        EXPECT_EQ(v.XSqlVar()->sqldata[6], '\0') << i;
        EXPECT_TRUE(v.Modified()) << i;
        EXPECT_FALSE(v.IsNull()) << i;
    }
    EXPECT_FALSE(area[1].Modified());
    EXPECT_EQ(area[1].SqlType(), SQL_LONG);
}

TEST_F(DescriptorArea, AssignTextLongerThanTheParameterIsRefused)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    DescribeParams(area, {"RELATION"}, {{SQL_TEXT + 1, 31}});
    EXPECT_EQ(ClientErrorText([&] { area[0].AssignText(std::string(32, 'x')); }, ibxeStringTooLarge),
              Cp932("長さ 32 の文字列を長さ 31 しか格納できないフィールドに保存しました"));
    area[0].AssignText(std::string(31, 'x'));
    EXPECT_EQ(area[0].Length(), 31);

    // A text that no fixed-text entry could describe, given to a number.
    DescribeParams(area, {"N"}, {{SQL_LONG, 4}});
    EXPECT_EQ(ClientErrorText([&] { area[0].AssignText(std::string(40000, '1')); }, ibxeStringTooLarge),
              Cp932("長さ 40000 の文字列を長さ 32767 しか格納できないフィールドに保存しました"));
}

TEST_F(DescriptorArea, EmptyTextIsEmptyForTextAndNullForOtherTypes)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    DescribeParams(area, {"T", "N", "M"}, {{SQL_VARYING + 1, 10}, {SQL_LONG + 1, 4}, {SQL_LONG, 4}});
    area[0].AssignText("");
    area[1].AssignText("");
    area[2].AssignText("");
    EXPECT_FALSE(area[0].IsNull());
    EXPECT_EQ(area[0].SqlType(), SQL_TEXT);
    EXPECT_EQ(area[0].Length(), 0);
    EXPECT_TRUE(area[1].IsNull());
    EXPECT_TRUE(area[2].IsNullable());   // made nullable to hold the null
    EXPECT_TRUE(area[2].IsNull());

    area[1].AssignText("12");
    EXPECT_FALSE(area[1].IsNull());
    EXPECT_EQ(area[1].SqlType(), SQL_TEXT);   // the server converts the text
    EXPECT_EQ(Bytes(area[1]), "12");
}

TEST_F(DescriptorArea, AssignTextDecidesFromTheDescribedType)
{
    // Storing a text rewrites the entry's type; the next text is still
    // judged by what the parameter was described as.
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    const struct {
        const char* name;
        short type;
        std::vector<std::string> values;
        bool wantNull;
        std::string wantText;
    } cases[] = {
        {"integer, text then empty", SQL_LONG + 1, {"", "7", ""}, true, ""},
        {"integer, not nullable", SQL_LONG, {"7", ""}, true, ""},
        {"integer, empty then text", SQL_LONG + 1, {"", "7"}, false, "7"},
        {"date, text then empty", SQL_TYPE_DATE + 1, {"2024/01/05", ""}, true, ""},
        {"varchar, text then empty", SQL_VARYING + 1, {"x", ""}, false, ""},
    };
    for (const auto& c : cases) {
        DescribeParams(area, {"P"}, {{c.type, 10}});
        for (const std::string& value : c.values)
            area[0].AssignText(value);
        EXPECT_EQ(area[0].IsNull(), c.wantNull) << c.name;
        if (!c.wantNull) {
            EXPECT_EQ(area[0].SqlType(), SQL_TEXT) << c.name;
            EXPECT_EQ(Bytes(area[0]), c.wantText) << c.name;
        }
    }
}

TEST_F(DescriptorArea, AssignNullReachesEverySameNamedEntry)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    const struct {
        const char* name;
        short first;
        short second;
    } cases[] = {
        {"neither nullable", SQL_LONG, SQL_LONG},
        {"only the written one nullable", SQL_LONG + 1, SQL_LONG},
        {"only the other nullable", SQL_LONG, SQL_LONG + 1},
    };
    for (const auto& c : cases) {
        DescribeParams(area, {"A", "A"}, {{c.first, 4}, {c.second, 4}});
        area[0].AssignNull(true);
        for (int i : {0, 1}) {
            EXPECT_TRUE(area[i].IsNull()) << c.name << " " << i;
            EXPECT_TRUE(area[i].Modified()) << c.name << " " << i;
        }
        area[0].AssignNull(false);
        for (int i : {0, 1})
            EXPECT_FALSE(area[i].IsNull()) << c.name << " " << i;
    }
}

TEST_F(DescriptorArea, DateTextIsWrittenAsTimestamp)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    DescribeParams(area, {"D", "T"}, {{SQL_TYPE_DATE + 1, 4}, {SQL_TYPE_TIME, 4}});
    area[0].AssignText("2024/01/05");
    area[1].AssignText("09:05:03");
    EXPECT_EQ(area[0].XSqlVar()->sqltype, SQL_TIMESTAMP + 1);
    EXPECT_EQ(area[0].AsText(), "2024/01/05 00:00:00");
    EXPECT_EQ(area[1].AsText(), "1899/12/30 09:05:03");
    EXPECT_EQ(ClientErrorText([&] { area[0].AssignText("2024/02/30"); }, ibxeInvalidDataConversion),
              Cp932("不正な型変換"));
}

TEST_F(DescriptorArea, RowKeyIsCopiedWholeOrNotAtAll)
{
    TIBSQL sql;
    TIBXSQLDA& area = sql.OutputArea();
    for (const char* keyName : {"DB_KEY", "RDB$DB_KEY"}) {
        DescribeParams(area, {"K"}, {{SQL_TEXT, 8, 0, "", "", keyName}});
        area[0].AssignText("ABCDEFGH");
        EXPECT_EQ(Bytes(area[0]), "ABCDEFGH") << keyName;
        EXPECT_EQ(area[0].XSqlVar()->sqltype, SQL_TEXT) << keyName;
        EXPECT_EQ(area[0].Length(), 8) << keyName;

        // A shorter text is not read past its end, a longer one not cut.
        for (const std::string& wrong : {std::string("ABC"), std::string(9, 'Z')}) {
            EXPECT_EQ(ClientErrorText([&] { area[0].AssignText(wrong); }, ibxeInvalidDataConversion),
                      Cp932("不正な型変換"))
                << keyName;
            EXPECT_EQ(Bytes(area[0]), "ABCDEFGH") << keyName;
        }
    }
}
