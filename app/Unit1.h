// The main window: its controls, the three database components it owns, the
// status lines, and the handlers of its lifecycle and buttons.
#pragma once

#include "EscapeKey.h"
#include "Settings.h"

#include <BuildView.h>
#include <DictionaryBuild.h>

#include <IBDatabase.h>
#include <IBQuery.h>

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TForm1 : public QWidget, private WindowPosition, private DictionaryBuildView, private SearchView {
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Controls, in creation order; the window owns them (Qt parent).
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;   // phase line
    QLabel* Label5;   // progress line
    QLabel* Label6;
    QPushButton* Button1;
    QLineEdit* Edit1;
    QLineEdit* Edit2;
    QLineEdit* Edit3;
    QComboBox* ComboBox1;   // hidden; its items are the table-name scratch list
    QLineEdit* Edit4;
    QPushButton* Button2;
    QPlainTextEdit* Memo1;
    QPushButton* Button3;

    // The database components live exactly as long as the window. Creating
    // the first loads the client library: EIBClientError 1 when it cannot.
    std::unique_ptr<TIBDatabase> IBDatabase1;
    std::unique_ptr<TIBTransaction> IBTransaction1;
    std::unique_ptr<TIBQuery> IBQuery1;

    // Handlers; each runs its body through the general error handler.
    void FormShow();
    void FormClose();
    void Button1Click();
    void Button2Click();
    void Button3Click();

    // Reads and writes the settings file (connection settings and this
    // window's position); both report nothing.
    void LoadSettings(const std::string& settingsPath);
    void SaveSettings(const std::string& settingsPath);

    // Connection control, logging in as LoginFromEnvironment says.
    // ConnectDatabase leaves IBDatabase1 connected or, after any failure,
    // fully disconnected; the window shows nothing, a failure leaves one line
    // on standard error (and the create attempt's reason when it failed too).
    // DisconnectAll passes every error on.
    void CreateDatabaseAttempt();
    void ConnectDatabase();
    void DisconnectAll();
    // Whole-item match, without regard to ASCII letter case, against the
    // user tables listed into ComboBox1's items. Errors of the listing are
    // raised.
    bool TableExists(const std::string& tableName) override;
    // One line each on standard error, as the commands write them.
    void CharactersReplaced(const std::string& path, const TReplacements& replaced) override;

    // Status lines: the text (CP932) is painted before the call returns, so
    // a handler that never returns to the event loop still shows it.
    void SetPhaseLine(const std::string& text) override;
    void SetProgressLine(const std::string& text) override;
    // Modal, OK only, captioned with the application title.
    void ShowMessage(const std::string& text) override;
    bool EscapeDown() override;
    void EnableBuildButton(bool on) override;
    void EnableSearchButton(bool on) override;
    void ClearMemo() override;
    void AddMemoLine(const std::string& line) override;

    // The key whose state EscapeDown reads; nullptr restores the window
    // system's own. The key is not owned.
    void SetEscapeKey(EscapeKey* key);
    // The executable path that FormShow derives the executable folder and
    // the settings path from (default: the running executable's).
    void SetExecutablePath(const std::string& path) { m_exePath = path; }
    const std::string& SettingsPath() const noexcept { return m_settingsPath; }
    const TColumnWidths& ColumnWidths() const noexcept { return m_columnWidths; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    int Left() const override;
    int Top() const override;
    void SetLeft(int left) override;
    void SetTop(int top) override;

    void CreateControls();
    void CreateComponents();
    void SetStatusLine(QLabel* label, const std::string& text, bool repaintNow);

    std::string m_exePath;
    std::string m_settingsPath;
    TColumnWidths m_columnWidths{};                  // ADK1, ADK2, ADK3, ADR1, ADR2, ADR3
    std::unique_ptr<TDictionaryBuild> m_build;       // over the three components
    std::unique_ptr<EscapeKey> m_systemEscapeKey;   // created on first use
    EscapeKey* m_escapeKey = nullptr;                // not owned
    bool m_closeHandled = false;                     // FormClose once per showing
};

// The main window; valid from its creation in the program entry.
extern TForm1* Form1;
