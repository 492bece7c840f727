// The window's two working buttons and its table check, on a database of the
// embedded engine beside a small KEN_ALL.CSV: the handlers run through the
// general error handler exactly as a click runs them.
#include "TempFolder.h"

#include <Application.h>
#include <Encoding.h>
#include <EscapeKey.h>
#include <IBQuery.h>
#include <Unit1.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Escape is never down; each poll records whether Button1 was enabled then.
struct WatchingEscapeKey final : EscapeKey {
    QPushButton* button = nullptr;
    std::vector<bool> enabledAtPoll;
    bool EscapeDown() override
    {
        enabledAtPoll.push_back(button->isEnabled());
        return false;
    }
};

class WindowBuild : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetMessageBoxPresenter([this](MessageBoxKind, const std::string& text) { m_boxes.push_back(text); });
        // The embedded engine stands in for the server: data folder and file name only.
        std::ofstream(m_dir / "kx27.dat", std::ios::binary) << "\r\n" << m_dir.string() << "/\r\nT.FDB\r\n50\r\n60\r\n";
        m_form = std::make_unique<TForm1>();
        m_form->SetExecutablePath((m_dir / "kx27").string());
        m_escape.button = m_form->Button1;
        m_form->SetEscapeKey(&m_escape);
        m_form->show();
        QCoreApplication::processEvents();
        ASSERT_TRUE(m_form->IBDatabase1->Connected());
    }
    void TearDown() override
    {
        m_form.reset();
        SetMessageBoxPresenter({});
    }

    void Execute(const std::string& sql)
    {
        TIBQuery& query = *m_form->IBQuery1;
        m_form->IBTransaction1->SetActive(false);
        m_form->IBTransaction1->StartTransaction();
        query.SetParamCheck(false);
        query.SQL().Clear();
        query.SQL().Add(sql);
        query.Execute();
        m_form->IBTransaction1->Commit();
    }

    static QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

    const TTempFolder m_folder{"kx27_windowbuild"};
    const fs::path& m_dir = m_folder.Path();
    std::unique_ptr<TForm1> m_form;
    WatchingEscapeKey m_escape;
    std::vector<std::string> m_boxes;
};

} // namespace

TEST_F(WindowBuild, TableExistsMatchesWholeNamesWithoutLetterCase)
{
    TForm1& form = *m_form;
    EXPECT_FALSE(form.TableExists("ZIPDIC"));
    Execute("CREATE TABLE ZIPDIC2 (A INTEGER)");
    Execute("CREATE VIEW ZIPDIC AS SELECT A FROM ZIPDIC2");   // a view is no table
    EXPECT_FALSE(form.TableExists("ZIPDIC"));
    Execute("DROP VIEW ZIPDIC");
    Execute("CREATE TABLE ZIPDIC (A INTEGER)");
    const struct {
        const char* name;
        bool want;
    } cases[] = {{"ZIPDIC", true}, {"zipdic", true}, {"ZipDic2", true}, {"ZIPDI", false}, {"ZIPDIC ", false}};
    for (const auto& c : cases)
        EXPECT_EQ(form.TableExists(c.name), c.want) << c.name;
    // The names are listed into the hidden list's items.
    ASSERT_EQ(form.ComboBox1->count(), 2);
    EXPECT_EQ(form.ComboBox1->itemText(0), Text("ZIPDIC"));
    EXPECT_EQ(form.ComboBox1->itemText(1), Text("ZIPDIC2"));
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(WindowBuild, BuildAndSearchThroughTheButtons)
{
    TForm1& form = *m_form;
    std::ofstream(m_dir / "KEN_ALL.CSV", std::ios::binary)
        << "01101,\"060  \",\"0600000\",\"\xCE\xAF\xB6\xB2\xC4\xDE\xB3\",\"\xBB\xAF\xCE\xDF\xDB\xBC\xC1\xAD\xB3\xB5\xB3\xB8\","
           "\"\xB2\xB6\xC6\xB9\xDE\xB2\xBB\xB2\xB6\xDE\xC5\xB2\xBA\xDE\xB3\",\"\x96\x6B\x8A\x43\x93\xB9\","
           "\"\x8E\x44\x96\x79\x8E\x73\x92\x86\x89\x9B\x8B\xE6\",\"\x88\xC8\x89\xBA\x82\xC9\x8C\x66\x8D\xDA\x82\xAA\x82\xC8\x82\xA2\x8F\xEA\x8D\x87\",0,0,0,0,0,0\r\n"
           "01101,\"064  \",\"0640941\",\"\xCE\xAF\xB6\xB2\xC4\xDE\xB3\",\"\xBB\xAF\xCE\xDF\xDB\xBC\",\"\xB1\xBB\xCB\xB6\xDE\xB5\xB6\",\"\x96\x6B\x8A\x43\x93\xB9\","
           "\"\x8E\x44\x96\x79\x8E\x73\",\"\x88\xAE\x83\x50\x8B\x75\",0,0,0,0,0,0\r\n";
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(form.Label4->text(), Text("データ登録完了"));
    EXPECT_EQ(form.Label5->text(), Text("完了：2／2"));
    EXPECT_TRUE(form.Button1->isEnabled());
    EXPECT_EQ(m_escape.enabledAtPoll, (std::vector<bool>{false, false}));   // disabled while it works
    EXPECT_TRUE(m_boxes.empty());

    // The suppressed town of the first record lists as two commas together.
    form.Edit4->setText(Text("06"));
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    EXPECT_EQ(form.Memo1->toPlainText(), Text("0600000,ﾎｯｶｲﾄﾞｳ,ｻｯﾎﾟﾛｼﾁｭｳｵｳｸ,,北海道,札幌市中央区,,\n"
                                             "0640941,ﾎｯｶｲﾄﾞｳ,ｻｯﾎﾟﾛｼ,ｱｻﾋｶﾞｵｶ,北海道,札幌市,旭ケ丘,"));
    EXPECT_TRUE(form.Button2->isEnabled());

    // A source file that cannot be read: the error box, the old table kept,
    // the button back and the phase line cleared.
    fs::remove(m_dir / "KEN_ALL.CSV");
    fs::create_symlink("/proc/self/mem", m_dir / "KEN_ALL.CSV");
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].substr(0, 4), "I/O ");
    EXPECT_TRUE(form.Label4->text().isEmpty());
    EXPECT_TRUE(form.Button1->isEnabled());
    form.Edit4->setText(Text("064"));
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    EXPECT_EQ(form.Memo1->toPlainText(), Text("0640941,ﾎｯｶｲﾄﾞｳ,ｻｯﾎﾟﾛｼ,ｱｻﾋｶﾞｵｶ,北海道,札幌市,旭ケ丘,"));
}

// A UTF-8 KEN_ALL.CSV: the rows are stored in Shift-JIS with half-width
// readings, a character Shift-JIS lacks is stored as 〓 and named on standard
// error; a file that then turns to Shift-JIS shows the error box before
// anything is dropped.
TEST_F(WindowBuild, Utf8SourceFileThroughTheButton)
{
    TForm1& form = *m_form;
    const std::string path = (m_dir / "KEN_ALL.CSV").string();
    const std::string utf8 = "01101,\"064  \",\"0640941\",\"ホッカイドウ\",\"サッポロシ\",\"アサヒガオカ\",\"北海道\","
                             "\"札幌市\",\"旭ケ丘\",0,0,0,0,0,0\r\n"
                             "01101,\"064  \",\"0640942\",\"ホッカイドウ\",\"サッポロシ\",\"ヨシノ\",\"北海道\","
                             "\"札幌市\",\"𠮷野\",0,0,0,0,0,0\r\n";
    std::ofstream(path, std::ios::binary) << utf8;
    ::testing::internal::CaptureStderr();
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "kx27: " + path + " line 2 column 9: U+20BB7 has no Shift-JIS form; stored as 〓\n");
    EXPECT_EQ(form.Label5->text(), Text("完了：2／2"));
    EXPECT_TRUE(m_boxes.empty());
    form.Edit4->setText(Text("064"));
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    const QString rows = Text("0640941,ﾎｯｶｲﾄﾞｳ,ｻｯﾎﾟﾛｼ,ｱｻﾋｶﾞｵｶ,北海道,札幌市,旭ケ丘,\n"
                              "0640942,ﾎｯｶｲﾄﾞｳ,ｻｯﾎﾟﾛｼ,ﾖｼﾉ,北海道,札幌市,〓野,");
    EXPECT_EQ(form.Memo1->toPlainText(), rows);

    std::ofstream(path, std::ios::binary | std::ios::app) << "01101,\"064  \",\"0640943\",\"\xCE\",\"\xBB\",\"\xB1\","
                                                             "\"\x96\x6B\",\"\x8E\x44\",\"\x88\xAE\",0,0,0,0,0,0\r\n";
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0].substr(0, 4), "I/O ");
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    EXPECT_EQ(form.Memo1->toPlainText(), rows);
}
