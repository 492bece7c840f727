// The whole build on the real KEN_ALL.CSV (unpacked from the shared zip at
// test time) on the embedded engine, then a search through the same code as
// the window's. About a minute; left out of the sanitizer build.
#include "BuildTestSupport.h"

#include <SourceFile.h>
#include <TestSearch.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

TEST_F(EmbeddedBuild, RealSourceFileEndToEnd)
{
#ifdef KX27_SANITIZE
    GTEST_SKIP() << "the full build takes too long under the sanitizers";
#endif
    if (!std::filesystem::exists(KX27_KEN_ALL_ZIP))
        GTEST_SKIP() << KX27_KEN_ALL_ZIP << " is not there";
    if (std::system("command -v unzip >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "unzip is missing";
    const std::string unzip = "unzip -q -o '" + std::string(KX27_KEN_ALL_ZIP) + "' -d '" + m_folder.Dir().string() + "'";
    ASSERT_EQ(std::system(unzip.c_str()), 0) << unzip;
    ASSERT_TRUE(std::filesystem::exists(m_folder.SourcePath()));

    Build();
    EXPECT_EQ(Tail(m_view.Shown, 3), (std::vector<std::string>{"phase:" + Cp932("データ登録完了"),
                                                               "progress:" + Cp932("完了：124825／124825"),
                                                               "enable"}));
    EXPECT_EQ(m_build->Outcome().Read, 124825);
    EXPECT_EQ(Count("ZIPDIC"), 124825);
    EXPECT_EQ(m_widths, (TColumnWidths{7, 22, 73, 8, 20, 76}));
    EXPECT_EQ(Rows("SELECT COUNT(*) FROM ZIPDIC WHERE ADK3 IS NULL AND ADR3 IS NULL"),
              std::vector<std::string>{"1891"});

    // The lines of the records read from the file whose ZIP begins with 060,
    // in file order, which is the order the new table returns them in.
    std::vector<std::string> want;
    TSourceFile source;
    TDictionaryRecord record;
    source.Open(m_folder.SourcePath());
    while (!source.Eof()) {
        source.ReadLine();
        if (source.TakeRecord(record) && record.Slots[rsZip].compare(0, 3, "060") == 0) {
            std::string line;
            for (const std::string& slot : record.Slots)
                line += slot + ",";
            want.push_back(line);
        }
    }
    source.Close();
    ASSERT_EQ(want.size(), 59u);

    m_view = {};
    m_view.Database = m_database.get();
    TestSearch(*m_database, *m_transaction, *m_query, "060", m_view);
    EXPECT_EQ(m_view.Memo, want);
}
