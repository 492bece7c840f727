#include "Unit1.h"

#include "Application.h"
#include "Connection.h"
#include "Encoding.h"
#include "UnitV.h"
#include "WindowIcon.h"

#include <SourceFile.h>
#include <TestSearch.h>

#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStyledItemDelegate>

#include <exception>

TForm1* Form1 = nullptr;

namespace {

constexpr int ClientWidth = 420;
constexpr int ClientHeight = 270;
constexpr int DesignLeft = 192;
constexpr int DesignTop = 107;
constexpr int ListItemHeight = 13;

const char* const FontFace = "\x82l\x82r \x83S\x83V\x83\x62\x83N";  // ＭＳ ゴシック
// Debian's stand-in for the face above, with close metrics at 13 pixels.
const char* const FontStandIn = "IPAGothic";

// The hidden list's rows are 13 pixels high whatever the style would make them.
class FixedHeightDelegate final : public QStyledItemDelegate {
public:
    FixedHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), m_height(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), m_height};
    }

private:
    int m_height;
};

QLabel* NewLabel(QWidget* parent, const char* name, int left, int top, const std::string& text)
{
    auto* label = new QLabel(ToQString(text), parent);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();   // labels size themselves to their text
    return label;
}

QPushButton* NewButton(QWidget* parent, const char* name, const QRect& bounds, const std::string& text)
{
    auto* button = new QPushButton(ToQString(text), parent);
    button->setObjectName(name);
    button->setGeometry(bounds);
    return button;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, const QRect& bounds, const std::string& text)
{
    auto* edit = new QLineEdit(ToQString(text), parent);
    edit->setObjectName(name);
    edit->setGeometry(bounds);
    return edit;
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_exePath(ExecutablePath())
{
    setObjectName("Form1");
    setWindowTitle(ToQString("\x97X\x95\xD6\x94\xD4\x8D\x86\x8E\xAB\x8F\x91\x8D\xEC\x90\xAC"));  // 郵便番号辞書作成
    setWindowIcon(WindowIcon());
    setFixedSize(ClientWidth, ClientHeight);
    move(DesignLeft, DesignTop);

    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
    setAutoFillBackground(true);

    const QString face = ToQString(FontFace);
    QFont::insertSubstitutions(face, {QString::fromLatin1(FontStandIn)});
    QFont font(face);
    font.setPixelSize(13);
    setFont(font);

    CreateControls();
    CreateComponents();
}

TForm1::~TForm1()
{
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::CreateControls()
{
    Label1 = NewLabel(this, "Label1", 8, 8, "\x83T\x81[\x83o\x81[\x96\xBC\x81iIP\x83\x41\x83h\x83\x8C\x83X\x81{':'\x81j");  // サーバー名（IPアドレス＋':'）
    Label2 = NewLabel(this, "Label2", 8, 30, "\x83T\x81[\x83o\x81[\x82\xCC\x83\x66\x81[\x83^\x82\xCC\x83t\x83H\x83\x8B\x83_");  // サーバーのデータのフォルダ
    Label3 = NewLabel(this, "Label3", 8, 52, "\x83\x66\x81[\x83^\x83x\x81[\x83X\x96\xBC");  // データベース名
    Label4 = NewLabel(this, "Label4", 8, 80, "Label4");
    Label5 = NewLabel(this, "Label5", 8, 100, "Label5");
    Label6 = NewLabel(this, "Label6", 8, 132, "\x97X\x95\xD6\x94\xD4\x8D\x86\x81\x46");  // 郵便番号：

    Button1 = NewButton(this, "Button1", {168, 80, 161, 33},
                        "\x97X\x95\xD6\x94\xD4\x8D\x86\x8E\xAB\x8F\x91\x8D\xEC\x90\xAC(&M)");  // 郵便番号辞書作成(&M)
    // Edit1 to Edit3 only show the defaults; nothing reads or writes them.
    Edit1 = NewEdit(this, "Edit1", {208, 4, 209, 21}, DefaultServerPrefix);
    Edit2 = NewEdit(this, "Edit2", {208, 26, 209, 21}, DefaultDataFolder);
    Edit3 = NewEdit(this, "Edit3", {208, 48, 209, 21}, DefaultDatabaseFileName);

    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setGeometry(336, 96, 81, 21);
    ComboBox1->setEditable(false);
    ComboBox1->setFocusPolicy(Qt::NoFocus);
    ComboBox1->setItemDelegate(new FixedHeightDelegate(ListItemHeight, ComboBox1));
    ComboBox1->setVisible(false);

    Edit4 = NewEdit(this, "Edit4", {80, 128, 81, 21}, {});
    Edit4->setMaxLength(7);
    Edit4->setAttribute(Qt::WA_InputMethodEnabled, false);

    Button2 = NewButton(this, "Button2", {168, 124, 113, 25}, "\x83\x65\x83X\x83g\x8C\x9F\x8D\xF5(&T)");  // テスト検索(&T)

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setGeometry(8, 152, 409, 113);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setTabChangesFocus(true);

    Button3 = NewButton(this, "Button3", {320, 124, 97, 25}, "\x95\xC2\x82\xB6\x82\xE9(&X)");  // 閉じる(&X)

    setTabOrder(Button1, Edit1);
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, Edit3);
    setTabOrder(Edit3, Edit4);
    setTabOrder(Edit4, Button2);
    setTabOrder(Button2, Memo1);
    setTabOrder(Memo1, Button3);

    // Whatever was pressed while a build or a search ran was pressed on a
    // busy window (its button disabled): it is dropped, not run afterwards.
    connect(Button1, &QPushButton::clicked, this, [this] {
        RunHandler([this] { Button1Click(); });
        DropInputQueuedUntilNow();
    });
    connect(Button2, &QPushButton::clicked, this, [this] {
        RunHandler([this] { Button2Click(); });
        DropInputQueuedUntilNow();
    });
    connect(Button3, &QPushButton::clicked, this, [this] { RunHandler([this] { Button3Click(); }); });
}

void TForm1::CreateComponents()
{
    IBDatabase1 = std::make_unique<TIBDatabase>("IBDatabase1");
    IBTransaction1 = std::make_unique<TIBTransaction>("IBTransaction1");
    IBQuery1 = std::make_unique<TIBQuery>("IBQuery1");

    IBDatabase1->SetLoginPrompt(false);
    IBDatabase1->SetDefaultTransaction(IBTransaction1.get());
    IBDatabase1->SetIdleTimer(0);
    IBDatabase1->SetSQLDialect(3);

    IBTransaction1->SetDefaultDatabase(IBDatabase1.get());
    IBTransaction1->SetAutoStopAction(saNone);

    IBQuery1->SetDatabase(IBDatabase1.get());
    IBQuery1->SetTransaction(IBTransaction1.get());
    IBQuery1->SetBufferChunks(1000);
    IBQuery1->SetCachedUpdates(false);

    m_build = std::make_unique<TDictionaryBuild>(*IBDatabase1, *IBTransaction1, *IBQuery1, m_columnWidths);
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Restoring from the minimised state is a spontaneous show; only making
    // the window visible counts as showing it.
    if (!event->spontaneous())
        RunHandler([this] { FormShow(); });
}

void TForm1::closeEvent(QCloseEvent* event)
{
    RunHandler([this] { FormClose(); });
    event->accept();
}

void TForm1::FormShow()
{
    m_closeHandled = false;
    m_columnWidths.fill(0);
    SetStatusLine(Label4, {}, false);
    SetStatusLine(Label5, {}, false);
    ExeFolder = ExecutableFolderOf(m_exePath);
    m_settingsPath = SettingsPathOf(m_exePath);
    LoadSettings(m_settingsPath);
    if (DataFolder.empty() || DatabaseFileName.empty())
        return;   // nothing is connected; the buttons stay without effect
    try {
        CreateDatabaseAttempt();
    } catch (const std::exception&) {
        // Showing reports nothing and leaves the connection either up or
        // fully down, even when the disconnect after a failed attach fails.
        IBDatabase1->CloseForced();
    }
}

void TForm1::FormClose()
{
    // Button3, the close box, the system menu and Alt+F4 may each deliver a
    // close; the settings are written once.
    if (m_closeHandled)
        return;
    m_closeHandled = true;
    try {
        DisconnectAll();
    } catch (const std::exception&) {
        // Closing reports nothing, and the settings must still be written.
        IBDatabase1->CloseForced();
    }
    SaveSettings(m_settingsPath);
}

void TForm1::Button1Click()
{
    m_build->Run(SourceFilePath(), *this);
}

void TForm1::Button2Click()
{
    TestSearch(*IBDatabase1, *IBTransaction1, *IBQuery1, FromQString(Edit4->text()), *this);
}

void TForm1::Button3Click()
{
    close();
}

void TForm1::LoadSettings(const std::string& settingsPath)
{
    ::LoadSettings(settingsPath, *this);
}

void TForm1::SaveSettings(const std::string& settingsPath)
{
    ::SaveSettings(settingsPath, *this);
}

void TForm1::CreateDatabaseAttempt()
{
    // Fails on every start but the first, the database being there; why it
    // failed is told only when the connect fails as well.
    ::CreateDatabaseAttempt(*IBDatabase1, LoginFromEnvironment());
    ConnectDatabase();
}

void TForm1::ConnectDatabase()
{
    const TLogin login = LoginFromEnvironment();
    PrepareConnect(*IBDatabase1, login);
    try {
        IBDatabase1->SetConnected(true);
    } catch (const std::exception& e) {
        // The window stays silent; standard error keeps why.
        for (const std::string& line : ConnectFailureLines(login, e.what()))
            WriteErrorLine(line);
        DisconnectAll();
    }
}

void TForm1::DisconnectAll()
{
    IBQuery1->SetActive(false);
    IBTransaction1->SetActive(false);
    IBDatabase1->SetConnected(false);
}

bool TForm1::TableExists(const std::string& tableName)
{
    // ComboBox1's items are the scratch list the names are listed into.
    ComboBox1->clear();
    TStringList names;
    const bool exists = TableExistsIn(*IBDatabase1, tableName, names);
    for (const std::string& name : names.Lines())
        ComboBox1->addItem(ToQString(name));
    // The items are these names; they are matched as listed, not converted back.
    return exists;
}

void TForm1::CharactersReplaced(const std::string& path, const TReplacements& replaced)
{
    for (const std::string& line : ReplacementLines(path, replaced))
        WriteErrorLine(line);
}

void TForm1::SetStatusLine(QLabel* label, const std::string& text, bool repaintNow)
{
    const QRect before = label->geometry();
    label->setText(ToQString(text));
    label->adjustSize();
    // The handlers never return to the event loop while they work: paint
    // now, over the old extent too, so that a shorter text leaves no rest.
    if (repaintNow)
        repaint(before.united(label->geometry()));
}

void TForm1::SetPhaseLine(const std::string& text)
{
    SetStatusLine(Label4, text, true);
}

void TForm1::SetProgressLine(const std::string& text)
{
    SetStatusLine(Label5, text, true);
}

void TForm1::ShowMessage(const std::string& text)
{
    ShowMessageBox(MessageBoxKind::Information, text);
}

bool TForm1::EscapeDown()
{
    if (m_escapeKey)
        return m_escapeKey->EscapeDown();
    if (!m_systemEscapeKey)
        m_systemEscapeKey = CreateSystemEscapeKey();
    return m_systemEscapeKey->EscapeDown();
}

void TForm1::EnableBuildButton(bool on)
{
    Button1->setEnabled(on);
}

void TForm1::EnableSearchButton(bool on)
{
    Button2->setEnabled(on);
}

void TForm1::ClearMemo()
{
    Memo1->clear();
}

void TForm1::AddMemoLine(const std::string& line)
{
    Memo1->appendPlainText(ToQString(line));
}

void TForm1::SetEscapeKey(EscapeKey* key)
{
    m_escapeKey = key;
}

int TForm1::Left() const
{
    return x();
}

int TForm1::Top() const
{
    return y();
}

void TForm1::SetLeft(int left)
{
    move(left, y());
}

void TForm1::SetTop(int top)
{
    move(x(), top);
}
