#pragma once

// The main window: server row, command buttons, protocol log, command line,
// guidance panel and status bar. It shows what the conversation tells it and
// forwards the user's actions; the POP3 logic lives in TPOP3Conversation.

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <memory>

#include "conversation/ConversationView.h"
#include "conversation/POP3Conversation.h"
#include "dialogs/BrieflotseEdit.h"
#include "protocollog/LogSaver.h"
#include "protocollog/ProtocolLog.h"

class QAction;
class QActionGroup;
class QComboBox;
class QFileDialog;
class QFrame;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSocketNotifier;
class TLogView;
class TMailboxMapWindow;
class TMessageAnatomyWindow;
class TSettingsStore;
class TPOP3Edit;
class TPOP3About;
class TPOP3Lookup;
class TPracticeServerControl;
class TWaitInputGuard;

class TPOP3Main : public QMainWindow, public TConversationView {
    Q_OBJECT

public:
    explicit TPOP3Main(TSettingsStore& Settings, QWidget* Parent = nullptr);
    ~TPOP3Main() override;

    // The three dialogs are created after the main window (in this order:
    // finder, assistant, about box) and handed over here.
    void SetDialogs(TPOP3Lookup* Finder, TPOP3Edit* Assistant, TPOP3About* About);

    TPOP3Conversation& Conversation() { return *FConversation; }
    TProtocolLog& ProtocolLog() { return *FLog; }

    // Puts the text into the command line and sends it as if typed.
    void SendCommandLine(const QString& Line);
    // Puts Server into the server field and connects as "Verbinden" does.
    void ConnectTo(const QString& Server);

    void LoadSettings();
    void SaveSettings();

    // Writes the log to Path; a failure is shown in a message box. On success
    // the folder becomes the save dialog's initial folder.
    bool SaveLogTo(const QString& Path, TLogFileType Type);
    // Writes the session's transcript to Path, its secrets masked unless
    // WithSecrets; a failure is shown in a message box.
    bool SaveTranscriptTo(const QString& Path, bool WithSecrets);
    // The save dialog's initial folder: the last one saved to, or the stored one.
    QString SaveFolder() const { return FSaveFolder; }
    void SetSaveFolder(const QString& Folder) { FSaveFolder = Folder; }

    // TConversationView
    TConversationOptions Options() const override;
    void ShowStatusPicture(TStatusPicture Picture) override;
    void ShowWindowTitle(const std::string& Title) override;
    void ShowStatusText(const std::string& Text) override;
    void ShowByteCounters(int64_t Sent, int64_t Received) override;
    void SetConnectedState(bool Connected) override;
    bool CommandFieldEnabled() const override;
    void FocusCommandField() override;
    void FocusHostField() override;
    void SetBusyCursor(bool Busy) override;
    void KeepResponsive() override;
    bool AcceptCertificate(const TTlsInfo& Info, const std::string& Target) override;
    void ShowGuidanceText(const std::string& Text, bool IsError) override;
    void AddHostToHistory(const std::string& Host) override;
    void AddCommandToHistory(const std::string& Line) override;
    bool AskYesNo(const std::string& Title, const std::string& Text) override;

public slots:
    void ButtonVerbindenClick();
    void ButtonTrennenClick();
    void ButtonSuchenClick();
    void ButtonSendenClick();
    void ButtonUSERClick();
    void ButtonPASSClick();
    void ButtonSTATClick();
    void ButtonLISTClick();
    void ButtonRETRClick();
    void ButtonDELEClick();
    void ButtonRSETClick();
    void ButtonNOOPClick();
    void ButtonQUITClick();

    void MenuDateiClick();
    void MenuServerClick();
    void MenuPruefenClick();
    void MenuPostfachClick(); // "Postfach-Übersicht"
    void MenuOptionenClick();
    void MenuSpeichernClick();
    void MenuMitschnittClick(); // "Mitschnitt speichern ..."
    void MenuDruckenClick();
    void MenuBeendenClick();
    void MenuFontPropClick();
    void MenuFontMonoClick();
    void MenuColorClick(QAction* Item);
    void MenuFormatOnOffClick(QAction* Item);
    void MenuTimeoutClick(QAction* Item);
    void MenuResetAtConnectClick(QAction* Item);
    void MenuResetLogNowClick();
    void MenuResetCounterNowClick();
    void MenuAboutClick();
    void MenuZerlegenClick(); // "Nachricht zerlegen": the last RETR or TOP taken apart

protected:
    bool event(QEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    void BuildControls();
    void BuildMenu();
    void FitGuidancePanel();
    void FormCreate();
    void ShowApplicationHint(const QString& Hint);
    void WatchKeys(QComboBox* Field);
    bool EditKeyPress(QKeyEvent* Key);
    bool LogKeyDown(QKeyEvent* Key);
    // SecondVariant: UIDL on the LIST page, TOP on the RETR page.
    void CommandAssistant(QChar Kind, bool SecondVariant = false);
    // APOP and AUTH: what the assistant needs to know of the connection.
    TConnectionFacts ConnectionFacts() const;
    // The assistant's AUTH: the conversation answers the server's rounds.
    void StartSaslLogIn(const TSaslRequest& Request);
    void UpdateFileActions();
    void PrintToFile();
    void AskToStopUnasked();
    bool ConfirmStop(const QString& Why);
    bool AskToStop();
    void WatchSocket();
    void SocketReadable();
    void ApplyLogFont(bool FixedPitch);
    void CentreOnScreen();
    // Keeps the window, frame included, within the available area of its
    // screen: smaller when the screen is, moved inside when it lies outside.
    void FitOnScreen();
    void FitOnScreenWhenFramed(int Tries);
    QMargins FrameMargins() const;
    void RepaintStatusLine();
    QPushButton* CommandButton(
        const char* Name, const QString& Caption, const QString& Hint, void (TPOP3Main::*Handler)());

    // Controls, each member named like its object; tests and benchmarks find
    // a control by that object name (findChild), never through a member.
    QLabel* HostLabel = nullptr;
    QComboBox* HostCombo = nullptr;
    QPushButton* ButtonSuchen = nullptr;
    QPushButton* ButtonVerbinden = nullptr;
    QPushButton* ButtonTrennen = nullptr;
    QFrame* IconPanel = nullptr;
    QLabel* StatusPic = nullptr;
    QPushButton* ButtonUSER = nullptr;
    QPushButton* ButtonPASS = nullptr;
    QPushButton* ButtonSTAT = nullptr;
    QPushButton* ButtonLIST = nullptr;
    QPushButton* ButtonRETR = nullptr;
    QPushButton* ButtonDELE = nullptr;
    QPushButton* ButtonRSET = nullptr;
    QPushButton* ButtonNOOP = nullptr;
    QPushButton* ButtonQUIT = nullptr;
    QPushButton* ButtonZerlegen = nullptr;
    TLogView* Log = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* Command = nullptr;
    QPushButton* ButtonSenden = nullptr;
    QLabel* HintLabel = nullptr;
    QFrame* HintPanel = nullptr;
    QPlainTextEdit* Hint = nullptr;
    QLabel* StatusPanels[3] = { nullptr, nullptr, nullptr };

    QMenu* MenuDatei = nullptr;
    QAction* MenuSpeichern = nullptr;
    QAction* MenuMitschnitt = nullptr;
    QAction* MenuDrucken = nullptr;
    QAction* MenuBeenden = nullptr;
    QMenu* MenuServer = nullptr;
    QAction* MenuSuchen = nullptr;
    QAction* MenuVerbinden = nullptr;
    QAction* MenuTrennen = nullptr;
    QAction* MenuPruefen = nullptr;
    QMenu* MenuKommandos = nullptr;
    QAction* MenuZerlegen = nullptr;
    QMenu* MenuOptionen = nullptr;
    QMenu* MenuFont = nullptr;
    QAction* MenuFontProp = nullptr;
    QAction* MenuFontMono = nullptr;
    QMenu* MenuColors = nullptr;
    QAction* MenuColorStatus = nullptr;
    QAction* MenuColorHost = nullptr;
    QAction* MenuColorGreen = nullptr;
    QAction* MenuColorNavy = nullptr;
    QAction* MenuColorRed = nullptr;
    QAction* MenuColorOff = nullptr;
    QMenu* MenuFormat = nullptr;
    QAction* MenuCmdBold = nullptr;
    QAction* MenuStatusBold = nullptr;
    QAction* MenuCmdUpper = nullptr;
    QAction* MenuHidePass = nullptr;
    QMenu* MenuTimeout = nullptr;
    QAction* Menu10Sek = nullptr;
    QAction* Menu20Sek = nullptr;
    QAction* Menu30Sek = nullptr;
    QAction* Menu40Sek = nullptr;
    QMenu* MenuLog = nullptr;
    QAction* MenuResetLogNow = nullptr;
    QAction* MenuResetLog = nullptr;
    QMenu* MenuCounter = nullptr;
    QAction* MenuResetCounterNow = nullptr;
    QAction* MenuResetCounter = nullptr;
    QMenu* MenuHilfe = nullptr;
    QAction* MenuAbout = nullptr;

    // Save dialog state kept within one run: initial folder, chosen type and name.
    QString FSaveFolder;
    QString FSaveFilter;
    QString FSaveFileName;
    QString FTranscriptFileName;

    TSettingsStore& FSettings;
    std::unique_ptr<TProtocolLog> FLog;
    std::unique_ptr<TPOP3Conversation> FConversation;
    std::unique_ptr<QSocketNotifier> FNotifier;
    std::unique_ptr<TWaitInputGuard> FWaitGuard;
    bool FCloseWhenIdle = false;
    QString FLastStatus;
    QPixmap FStatusPictures[3];
    TPOP3Lookup* FFinder = nullptr;
    TPOP3Edit* FAssistant = nullptr;
    // While an AUTH with a fetched token is sent: its lines are masked in the
    // log and stay out of the command history, whatever the settings say.
    bool FKeepTokenOut = false;
    TPOP3About* FAbout = nullptr;
    QPointer<TMessageAnatomyWindow> FAnatomy; // "Nachricht zerlegen", once opened
    QPointer<TMailboxMapWindow> FMailboxMap; // the one map window open
    TPracticeServerControl* FPractice = nullptr; // the practice server's menu entries, a child
    bool FFixedPitch = false;
    TStatusPicture FShownPicture = TStatusPicture::Offline;
    QElapsedTimer FStatusRepaint;
    QSize FDefaultSize; // the layout as drawn; the window may be larger
    bool FFittedAfterShow = false;
};
