#include "TempFolder.h"

#include <Application.h>
#include <Encoding.h>
#include <ErrorText.h>
#include <EscapeKey.h>
#include <IBIntf.h>
#include <TerminationSignals.h>
#include <Unit1.h>
#include <UnitV.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct FakeEscapeKey final : EscapeKey {
    bool down = false;
    bool EscapeDown() override { return down; }
};

// Counts the paint events a widget receives.
class PaintCounter final : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// A settings file that connects nothing: its data folder is empty.
const std::string Unconnected = "srv:\r\n\r\nZ.FDB\r\n50\r\n60\r\n";

class Window : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetMessageBoxPresenter([this](MessageBoxKind, const std::string& text) { m_boxes.push_back(text); });
    }
    void TearDown() override
    {
        m_form.reset();
        SetMessageBoxPresenter({});
    }

    std::string SettingsPath() const { return (m_dir / "kx27.dat").string(); }

    // Writes the settings file, creates the window and shows it.
    TForm1& Start(const std::string& settings)
    {
        std::ofstream(SettingsPath(), std::ios::binary) << settings;
        m_form = std::make_unique<TForm1>();
        m_form->SetExecutablePath((m_dir / "kx27").string());
        m_form->SetEscapeKey(&m_escape);
        m_form->show();
        QCoreApplication::processEvents();
        return *m_form;
    }

    std::string ReadSettings() const
    {
        std::ifstream in(SettingsPath(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    const TTempFolder m_folder{"kx27_window"};
    const fs::path& m_dir = m_folder.Path();
    std::unique_ptr<TForm1> m_form;
    FakeEscapeKey m_escape;
    std::vector<std::string> m_boxes;
};

} // namespace

TEST_F(Window, ControlsAsDesigned)
{
    // The settings name another server and folder; the edits keep their texts.
    TForm1& form = Start("other:\r\n\r\nOTHER.FDB\r\n50\r\n60\r\n");
    const struct {
        QWidget* widget;
        const char* name;
        QRect bounds;
        std::string text;
        const char* shortcut;
    } cases[] = {
        {form.Button1, "Button1", {168, 80, 161, 33}, "\x97X\x95\xD6\x94\xD4\x8D\x86\x8E\xAB\x8F\x91\x8D\xEC\x90\xAC(&M)", "Alt+M"},  // 郵便番号辞書作成(&M)
        {form.Edit1, "Edit1", {208, 4, 209, 21}, "127.0.0.1:", ""},
        {form.Edit2, "Edit2", {208, 26, 209, 21}, "C:\\data\\", ""},
        {form.Edit3, "Edit3", {208, 48, 209, 21}, "ADDRESS.FDB", ""},
        {form.ComboBox1, "ComboBox1", {336, 96, 81, 21}, "", ""},
        {form.Edit4, "Edit4", {80, 128, 81, 21}, "", ""},
        {form.Button2, "Button2", {168, 124, 113, 25}, "\x83\x65\x83X\x83g\x8C\x9F\x8D\xF5(&T)", "Alt+T"},  // テスト検索(&T)
        {form.Memo1, "Memo1", {8, 152, 409, 113}, "", ""},
        {form.Button3, "Button3", {320, 124, 97, 25}, "\x95\xC2\x82\xB6\x82\xE9(&X)", "Alt+X"},  // 閉じる(&X)
    };
    for (const auto& c : cases) {
        ASSERT_NE(c.widget, nullptr) << c.name;
        EXPECT_EQ(c.widget, form.findChild<QWidget*>(c.name)) << c.name;
        EXPECT_EQ(c.widget->geometry(), c.bounds) << c.name;
        std::string text;
        if (auto* button = qobject_cast<QPushButton*>(c.widget)) {
            text = FromQString(button->text());
            EXPECT_EQ(button->shortcut(), QKeySequence(QString::fromLatin1(c.shortcut))) << c.name;
        } else if (auto* edit = qobject_cast<QLineEdit*>(c.widget)) {
            text = FromQString(edit->text());
        }
        EXPECT_EQ(text, c.text) << c.name;
    }
}

TEST_F(Window, LabelsSizeToTheirTexts)
{
    TForm1& form = Start(Unconnected);
    const struct {
        QLabel* label;
        const char* name;
        QPoint pos;
        int designWidth;
        std::string text;
    } cases[] = {
        {form.Label1, "Label1", {8, 8}, 191, "\x83T\x81[\x83o\x81[\x96\xBC\x81iIP\x83\x41\x83h\x83\x8C\x83X\x81{':'\x81j"},  // サーバー名（IPアドレス＋':'）
        {form.Label2, "Label2", {8, 30}, 169, "\x83T\x81[\x83o\x81[\x82\xCC\x83\x66\x81[\x83^\x82\xCC\x83t\x83H\x83\x8B\x83_"},  // サーバーのデータのフォルダ
        {form.Label3, "Label3", {8, 52}, 91, "\x83\x66\x81[\x83^\x83x\x81[\x83X\x96\xBC"},  // データベース名
        {form.Label6, "Label6", {8, 132}, 65, "\x97X\x95\xD6\x94\xD4\x8D\x86\x81\x46"},  // 郵便番号：
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.label, form.findChild<QLabel*>(c.name)) << c.name;
        EXPECT_EQ(c.label->pos(), c.pos) << c.name;
        EXPECT_EQ(FromQString(c.label->text()), c.text) << c.name;
        // The stand-in font must have glyphs of about the designed widths;
        // without a Japanese font the text would not come near them.
        EXPECT_NEAR(c.label->width(), c.designWidth, c.designWidth / 10) << c.name;
        EXPECT_GE(c.label->height(), 13) << c.name;
        std::printf("%s: %dx%d (design %dx13)\n", c.name, c.label->width(), c.label->height(), c.designWidth);
    }
    // The status lines' design texts are gone once the window is shown.
    EXPECT_EQ(form.Label4->pos(), QPoint(8, 80));
    EXPECT_EQ(form.Label5->pos(), QPoint(8, 100));
    EXPECT_TRUE(form.Label4->text().isEmpty());
    EXPECT_TRUE(form.Label5->text().isEmpty());
}

TEST_F(Window, FixedWhiteWindowWithoutMaximise)
{
    TForm1& form = Start(Unconnected);
    EXPECT_EQ(form.size(), QSize(420, 270));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(FromQString(form.windowTitle()), "\x97X\x95\xD6\x94\xD4\x8D\x86\x8E\xAB\x8F\x91\x8D\xEC\x90\xAC");  // 郵便番号辞書作成
    EXPECT_TRUE(form.windowIcon().availableSizes().contains(QSize(32, 32)));   // its own, not the platform's
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(form.palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(form.grab().toImage().pixelColor(300, 20), QColor(Qt::white));   // a spot between the controls
    EXPECT_EQ(form.Label1->fontInfo().pixelSize(), 13);
    EXPECT_EQ(form.Label1->fontInfo().family(), QStringLiteral("IPAGothic"));
    EXPECT_EQ(form.Memo1->fontInfo().family(), QStringLiteral("IPAGothic"));
}

TEST_F(Window, TabOrder)
{
    TForm1& form = Start(Unconnected);
    std::vector<QWidget*> order;
    QWidget* w = form.Button1;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&form) && w->window() == &form
            && w->parentWidget() == &form)
            order.push_back(w);
        w = w->nextInFocusChain();
    } while (w != form.Button1 && order.size() < 50);
    const std::vector<QWidget*> want = {form.Button1, form.Edit1, form.Edit2, form.Edit3, form.Edit4,
                                        form.Button2, form.Memo1, form.Button3};
    EXPECT_EQ(order, want);

    // Tab leaves the memo instead of going into its text.
    form.activateWindow();
    form.Memo1->setFocus();
    QTest::keyClick(form.Memo1, Qt::Key_Tab);
    EXPECT_TRUE(form.Memo1->toPlainText().isEmpty());
}

TEST_F(Window, HiddenListAndPostalCodeEdit)
{
    TForm1& form = Start(Unconnected);
    EXPECT_TRUE(form.ComboBox1->isHidden());
    EXPECT_EQ(form.ComboBox1->focusPolicy(), Qt::NoFocus);
    EXPECT_FALSE(form.ComboBox1->isEditable());
    form.ComboBox1->addItem(QStringLiteral("ZIPDIC"));
    EXPECT_EQ(form.ComboBox1->view()->sizeHintForRow(0), 13);

    QTest::keyClicks(form.Edit4, QStringLiteral("0600001999"));
    EXPECT_EQ(form.Edit4->text(), QStringLiteral("0600001"));
    EXPECT_FALSE(form.Edit4->testAttribute(Qt::WA_InputMethodEnabled));

    EXPECT_EQ(form.Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(form.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(form.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(Window, ShowingTakesThePositionFromTheSettings)
{
    const struct {
        const char* name;
        std::string settings;
        QPoint want;
    } cases[] = {
        // (The offscreen platform keeps a window's frame on the screen, so
        // negative positions are the settings file's tests' business.)
        {"sign and hex", "a\r\n\r\nc\r\n+20\r\n$40\r\n", {20, 64}},
        {"trailing blank", "a\r\n\r\nc\r\n12 \r\n30\r\n", {0, 30}},
        {"three lines", "a\r\n\r\nc\r\n", {0, 0}},
    };
    for (const auto& c : cases) {
        TForm1& form = Start(c.settings);
        EXPECT_EQ(form.pos(), c.want) << c.name;
        EXPECT_EQ(ServerPrefix, "a") << c.name;
        EXPECT_EQ(ExeFolder, m_dir.string() + "/") << c.name;
        EXPECT_EQ(form.SettingsPath(), SettingsPath()) << c.name;
        EXPECT_FALSE(form.IBDatabase1->Connected()) << c.name;
        m_form.reset();
    }
    EXPECT_TRUE(m_boxes.empty());
}

// Every way of closing writes the settings once, with the window's current
// position.
TEST_F(Window, ClosingWritesTheSettingsOnce)
{
    const struct {
        const char* name;
        void (*close)(TForm1& form);
    } routes[] = {
        {"Button3", [](TForm1& form) { QTest::mouseClick(form.Button3, Qt::LeftButton); }},
        {"Alt+X", [](TForm1& form) {
             QTest::keyClick(&form, Qt::Key_X, Qt::AltModifier);
             // A mnemonic clicks the button the way a mouse would, a moment later.
             for (int i = 0; i < 100 && form.isVisible(); ++i)
                 QTest::qWait(50);
         }},
        {"close()", [](TForm1& form) { form.close(); }},
        {"close box", [](TForm1& form) { form.windowHandle()->close(); }},
    };
    for (const auto& r : routes) {
        TForm1& form = Start(Unconnected);
        QApplication::setActiveWindow(&form);
        ASSERT_EQ(form.pos(), QPoint(50, 60)) << r.name;
        form.move(123, 45);
        QCoreApplication::processEvents();
        r.close(form);
        QCoreApplication::processEvents();
        EXPECT_FALSE(form.isVisible()) << r.name;
        EXPECT_EQ(ReadSettings(), "srv:\r\n\r\nZ.FDB\r\n123\r\n45\r\n") << r.name;

        fs::remove(SettingsPath());
        form.close();   // a second close of the closed window writes nothing
        EXPECT_FALSE(fs::exists(SettingsPath())) << r.name;
        m_form.reset();
    }
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(Window, UnwritableSettingsPathClosesSilently)
{
    TForm1& form = Start(Unconnected);
    form.SetExecutablePath((m_dir / "missing" / "kx27").string());
    form.hide();
    form.show();   // shown again: the settings path now points nowhere
    form.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
    EXPECT_TRUE(m_boxes.empty());
}

// A handler never returns to the event loop while it works: the new text must
// be painted before the call returns, and a shorter text leaves no rest.
TEST_F(Window, StatusLinesPaintAtOnce)
{
    TForm1& form = Start(Unconnected);
    QCoreApplication::processEvents();
    PaintCounter counter;
    form.Label4->installEventFilter(&counter);

    form.SetPhaseLine("\x83\x66\x81[\x83^\x93\x6F\x98\x5E\x92\x86");   // データ登録中
    EXPECT_GT(counter.paints, 0);
    EXPECT_EQ(FromQString(form.Label4->text()), "\x83\x66\x81[\x83^\x93\x6F\x98\x5E\x92\x86");
    EXPECT_GT(form.Label4->width(), 60);

    QScreen* screen = form.screen();
    const QRect area(8, 80, 120, 13);
    auto inkAt = [&] {
        const QImage image = screen->grabWindow(form.winId(), area.x(), area.y(), area.width(), area.height()).toImage();
        int dark = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                dark += qGray(image.pixel(x, y)) < 128;
        return dark;
    };
    EXPECT_GT(inkAt(), 20);
    form.SetPhaseLine({});
    EXPECT_EQ(inkAt(), 0);

    form.SetProgressLine("1234");
    EXPECT_EQ(FromQString(form.Label5->text()), "1234");
    form.Label4->removeEventFilter(&counter);
}

// SIGTERM and SIGINT close the window as its close button does; raised while
// a handler runs (here inside the nested loop a message box would run), the
// close waits until the handler has returned.
TEST_F(Window, TerminationSignalsCloseAfterTheRunningHandler)
{
    const std::string settings = "\r\n" + m_dir.string() + "/\r\nT.FDB\r\n50\r\n60\r\n";
    for (int signal : {SIGTERM, SIGINT}) {
        for (bool inHandler : {false, true}) {
            TForm1& form = Start(settings + "extra\r\n");   // connected: the client library's handlers are in
            ASSERT_TRUE(form.IBDatabase1->Connected());
            InstallTerminationSignals(&form);
            auto waitForClose = [&] {
                for (int i = 0; i < 200 && form.isVisible(); ++i)
                    QTest::qWait(10);
            };
            if (inHandler) {
                RunHandler([&] {
                    ::raise(signal);
                    QTest::qWait(50);   // the nested loop sees the request
                    EXPECT_TRUE(form.isVisible()) << signal;
                    EXPECT_TRUE(form.IBDatabase1->Connected()) << signal;
                });
            } else {
                ::raise(signal);
            }
            waitForClose();
            EXPECT_FALSE(form.isVisible()) << signal << " in handler " << inHandler;
            EXPECT_FALSE(form.IBDatabase1->Connected()) << signal;
            EXPECT_EQ(ReadSettings(), settings) << signal;
            m_form.reset();
        }
    }
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(Window, EscapeKeyIsInjected)
{
    TForm1& form = Start(Unconnected);
    EXPECT_FALSE(form.EscapeDown());
    m_escape.down = true;
    EXPECT_TRUE(form.EscapeDown());
}

// Showing creates the database when it is missing and connects, all silently;
// closing disconnects. The embedded engine stands in for a server: the
// connection string is the data folder and the file name alone.
TEST_F(Window, ShowingCreatesTheDatabaseAndConnects)
{
    const std::string database = (m_dir / "T.FDB").string();
    const std::string settings = "\r\n" + m_dir.string() + "/\r\nT.FDB\r\n50\r\n60\r\n";
    for (const char* start : {"first start creates", "later start attaches"}) {
        TForm1& form = Start(settings);
        EXPECT_TRUE(form.IBDatabase1->Connected()) << start;
        EXPECT_EQ(form.IBDatabase1->DatabaseName(), database) << start;
        EXPECT_EQ(form.IBDatabase1->Params().Text(), "USER_NAME=SYSDBA\r\nPASSWORD=copperjam\r\n") << start;
        form.close();
        EXPECT_FALSE(form.IBDatabase1->Connected()) << start;
        EXPECT_FALSE(form.IBTransaction1->Active()) << start;
        m_form.reset();
    }
    // The header page records the page size the database was created with.
    std::ifstream file(database, std::ios::binary);
    unsigned char header[18] = {};
    file.read(reinterpret_cast<char*>(header), sizeof header);
    EXPECT_EQ(header[16] | header[17] << 8, 4096);
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(Window, FailedConnectLeavesEverythingDisconnectedSilently)
{
    TForm1& form = Start("\r\n" + (m_dir / "missing").string() + "/\r\nT.FDB\r\n50\r\n60\r\n");
    EXPECT_FALSE(form.IBDatabase1->Connected());
    EXPECT_FALSE(form.IBTransaction1->Active());
    EXPECT_FALSE(form.IBQuery1->Active());
    form.close();
    EXPECT_EQ(ReadSettings(), "\r\n" + (m_dir / "missing").string() + "/\r\nT.FDB\r\n50\r\n60\r\n");
    EXPECT_TRUE(m_boxes.empty());
}

// Without the client library there is no window to work in: creating it
// raises client error 1, which the program entry shows and then ends.
TEST_F(Window, MissingClientLibraryFailsTheCreation)
{
    UnloadClientLibrary();   // no component exists now
    SetClientLibraryPath((m_dir / "no-such-libfbclient.so").string());
    std::exception_ptr error;
    try {
        TForm1 form;
    } catch (...) {
        error = std::current_exception();
    }
    SetClientLibraryPath({});
    ASSERT_TRUE(error);
    try {
        std::rethrow_exception(error);
    } catch (const EIBClientError& e) {
        EXPECT_EQ(e.SqlErrorCode(), 1);
    } catch (...) {
        ADD_FAILURE() << "not the client error";
    }
    EXPECT_EQ(ErrorBoxText(error).back(), '.');
    TForm1 form;   // the library is found again
}
