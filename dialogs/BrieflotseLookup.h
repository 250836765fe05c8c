#pragma once

// The mail-server finder: a two-step wizard. Step 1 takes an e-mail address,
// a domain or a host name; "Weiter" runs the address finder (discovery/) on a
// worker thread: SRV and MX records from the name server over TCP, autoconfig
// files, the provider database, the provider behind the MX, probing. Its
// page "2. Quellen" fills in a row per question as the answers arrive (queued
// to the window). Step 2 then lists the servers: the SRV records, the servers
// the other sources named (with the user name, log-in methods, sources and
// notes), the MX hosts marked as SMTP; or says there is none, or shows the
// error. "Quellen" shows the questions again. "Verbinden" hands a server back
// to the main window. Created once and only hidden between uses, so the
// typed name and the list carry over; the name is also kept in the settings
// store.
//
// While the search runs, the wizard repaints and takes "Abbrechen", Escape
// and a close, which stop every source; any other click or key is swallowed,
// so nothing acts once the search is over.

#include "dialogs/WaitInputGuard.h"
#include "discovery/AddressFinder.h"
#include "dns/SmartNSLookup.h"

#include <QDialog>
#include <QString>

#include <memory>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTreeWidget;
class QWidget;
class TSettingsStore;

// What the finder decides, without any widget.
namespace LookupRules {

enum class TPage { Welcome, Error, NoMX, Select, Sources };
enum class TFocus { NameEdit, BackButton, NextButton, MXHosts };

struct TStepView {
    TPage Page = TPage::Welcome;
    bool BackEnabled = false;
    bool NextEnabled = false;
    // The button Enter presses: the next button while enabled, else "Zurück".
    bool NextIsDefault = false;
    bool BackIsDefault = false;
    QString NextCaption;
    TFocus Focus = TFocus::NameEdit;
};

// ServerCount: -1 the query failed (or none ran yet), 0 no mail server, n > 0.
TStepView ViewOf(int Step, int ServerCount, bool NameEmpty);
// The buttons in step 2 of the server list, after its selection changed.
TStepView SelectionView(bool RowSelected);
QString Title(int Step);
// While the sources are asked.
QString SearchingTitle();
QString ErrorText(int32_t Code, const std::string& Description);
// Why the typed name cannot be asked for, in German; empty when it can.
QString NameProblem(const QString& Name);

// A server the name server named, as the list shows it.
struct TServerRow {
    QString Server;
    QString Port; // SRV only
    // "SRV, TLS" (_pop3s), "SRV" (_pop3), "MX"; for a server other sources
    // named "TLS", "STLS" or "unverschlüsselt"
    QString Kind;
    QString Priority; // SRV priority or MX preference
    // False for rows that only inform: a null MX, a service not offered
    // (target "."), unreadable data, or a name the host field would misread
    // (a port after ":", hidden bytes).
    bool Selectable = true;
    QString Hint;
    // What "Verbinden" hands the main window: "pop3s://host:port",
    // "host:port" or the MX host.
    QString HandOver;
    bool StlsFirst = false; // the guidance asks for STLS first
    QString Username;
    QString Methods; // log-in methods, ", " between
    QString Sources; // which sources named it
    QString Notes; // "; " between
    QString ProviderUrl; // a page for switching POP on, or the provider's help
    // Sort keys: priority (unreadable rows last), then weight.
    uint32_t Order = 0;
    uint16_t Weight = 0;
};
// The SRV records of the answer section, lowest priority first and within a
// priority the higher weight first; other types skipped.
std::vector<TServerRow> SRVRows(const TSmartNSRecords& Answers, bool Tls);
// The MX records of the answer section, lowest preference first.
std::vector<TServerRow> MXRows(const TSmartNSRecords& Answers);
// The list: both kinds of SRV rows merged by priority and weight (_pop3s
// first where they tie), then the MX rows.
std::vector<TServerRow> ServerList(
    const std::vector<TServerRow>& POP3S, const std::vector<TServerRow>& POP3, const std::vector<TServerRow>& MX);
// A server the address finder named.
TServerRow CandidateRow(const TCandidate& Candidate);
// The list: the SRV rows as ServerList has them, then the servers the other
// sources named (those only SRV named are there already), then the MX rows.
std::vector<TServerRow> ResultList(const std::vector<TServerRow>& POP3S, const std::vector<TServerRow>& POP3,
    const std::vector<TCandidate>& Candidates, const std::vector<TServerRow>& MX);
// "gefunden", "nichts", "Fehler".
QString SourceResultText(TSourceResult Result);
// A name "Verbinden" may hand on: printable ASCII, no blank, no ":".
bool IsHostName(const std::string& Name);
// The name server asked, for the error page.
QString NameServerText(const std::string& Host, const std::string& Port);
// True for a DNS response code: the name server answered, the record kind
// is just not there (an SRV query's "Name Error" is no failure of the search).
bool IsAnswerCode(int32_t Code);

// Asked when the machine names no name server.
inline constexpr char FallbackNameServer[] = "9.9.9.9";

} // namespace LookupRules

class TPOP3Lookup : public QDialog {
    Q_OBJECT
public:
    // Reads the remembered domain from the store at once.
    explicit TPOP3Lookup(TSettingsStore& Settings, QWidget* Parent = nullptr);

    // Shows the wizard modally at step 1, centred over the main window. True
    // when "Verbinden" closed it; ServerName() then holds the server: a host,
    // "host:port" (_pop3) or "pop3s://host:port" (_pop3s).
    bool Execute(QWidget* MainWindow);
    // Everything Execute does before running modally; tests show it themselves.
    void Prepare(QWidget* MainWindow);

    QString ServerName() const { return FServerName; }
    // The chosen server wants STLS before the log-in.
    bool StlsFirst() const { return FStlsFirst; }
    // The main window's wait limit in seconds, used for the next query.
    void SetTimeout(int Seconds) { FTimeout = Seconds; }
    int Step() const { return FStep; }
    int ServerCount() const { return FServerCount; }
    // The name server asked, and its time limit (set before each search).
    TSmartNSLookup& NSLookup() { return FNSLookup; }
    // What the search asks beyond the name server; tests of the DNS rows ask it alone.
    TFinderOptions& SearchOptions() { return FSearchOptions; }

    // Keeps the typed name at every closing, whatever the result.
    void done(int Result) override;
    // "Abbrechen" and Escape: stop a running search (the wizard stays), else close.
    void reject() override;
    bool Querying() const { return FQuerying; }

    static const QString& SettingsKey;
    // Where "ProviderDatabase" names another provider database.
    static const QString& FinderSettingsKey;

protected:
    // A close during a search stops it; the wizard closes once it has ended.
    void closeEvent(QCloseEvent* Event) override;

private:
    void FormCreate();
    QWidget* BuildWelcomePage();
    QWidget* BuildErrorPage();
    QWidget* BuildSelectPage();
    QWidget* BuildNoMXPage();
    QWidget* BuildSourcesPage();
    void AddSourceRow(const TSourceRow& Row);
    void SourcesButtonClick();
    void ShowDetails();
    std::string ProviderDatabase();
    void ReadDomain();
    void FormClose();
    void ShowStep();
    void ApplyView(const LookupRules::TStepView& View, bool MoveFocus);
    void NextButtonClick();
    void BackButtonClick();
    void MXHostsChange();
    void NameEditChange();
    // False when the user stopped it.
    bool RunQuery();
    void Stop();

    TSettingsStore& FSettings;
    TSmartNSLookup FNSLookup;
    TFinderOptions FSearchOptions;
    int FStep = 1;
    int FServerCount = -1;
    int FTimeout = 30;
    QString FServerName;
    bool FStlsFirst = false;
    bool FShowSources = false; // step 2 shows the questions instead of the servers
    bool FQuerying = false;
    bool FStopRequested = false;
    bool FCloseAfterStop = false;

    QLabel* FIconDisplay = nullptr;
    QStackedWidget* FPages = nullptr;
    QWidget* FPanelWelcome = nullptr;
    QWidget* FPanelError = nullptr;
    QWidget* FPanelSelect = nullptr;
    QWidget* FPanelNoMX = nullptr;
    QWidget* FPanelSources = nullptr;
    QTreeWidget* FSourceRows = nullptr;
    QLabel* FDetails = nullptr;
    QPushButton* FSourcesButton = nullptr;
    QLineEdit* FNameEdit = nullptr;
    QLabel* FErrorLabel = nullptr;
    QLabel* FNameServerLabel = nullptr;
    QLabel* FStopNote = nullptr;
    QTreeWidget* FMXHosts = nullptr;
    QPushButton* FBackButton = nullptr;
    QPushButton* FNextButton = nullptr;
    QPushButton* FCancelButton = nullptr;
    // The main window's: during a search only the stop gets through.
    std::unique_ptr<TWaitInputGuard> FWaitGuard;
};
