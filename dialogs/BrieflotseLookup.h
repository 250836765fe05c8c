#pragma once

// The mail-server finder: a two-step wizard. Step 1 takes a domain or host
// name; "Weiter" asks the name server over TCP for its POP3 service records
// ("_pop3s._tcp.", "_pop3._tcp.") and its MX records; step 2 lists the
// servers, says there is none, or shows the error. "Verbinden" hands a server
// back to the main window. Created once and only hidden between uses, so the
// typed name and the list carry over; the name is also kept in the settings
// store.
//
// While the name server is asked, the wizard repaints and takes "Abbrechen",
// Escape and a close, which stop the search; any other click or key is
// swallowed, so nothing acts once the search is over.

#include "dns/SmartNSLookup.h"

#include <QDialog>
#include <QString>

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

enum class Page { Welcome, Error, NoMX, Select };
enum class Focus { NameEdit, BackButton, NextButton, MXHosts };

struct StepView {
    Page page = Page::Welcome;
    bool backEnabled = false;
    bool nextEnabled = false;
    // The button Enter presses: the next button while enabled, else "Zurück".
    bool nextIsDefault = false;
    bool backIsDefault = false;
    QString nextCaption;
    Focus focus = Focus::NameEdit;
};

// serverCount: -1 the query failed (or none ran yet), 0 no mail server, n > 0.
StepView ViewOf(int step, int serverCount, bool nameEmpty);
// The buttons in step 2 of the server list, after its selection changed.
StepView SelectionView(bool rowSelected);
QString Title(int step);
QString ErrorText(int32_t code, const std::string& description);
// Why the typed name cannot be asked for, in German; empty when it can.
QString NameProblem(const QString& name);

// A server the name server named, as the list shows it.
struct ServerRow {
    QString server;
    QString port;     // SRV only
    QString kind;     // "SRV, TLS" (_pop3s), "SRV" (_pop3) or "MX"
    QString priority; // SRV priority or MX preference
    // False for rows that only inform: a null MX, a service not offered
    // (target "."), unreadable data, or a name the host field would misread
    // (a port after ":", hidden bytes).
    bool selectable = true;
    QString hint;
    // What "Verbinden" hands the main window: "pop3s://host:port",
    // "host:port" or the MX host.
    QString handOver;
    // Sort keys: priority (unreadable rows last), then weight.
    uint32_t order = 0;
    uint16_t weight = 0;
};
// The SRV records of the answer section, lowest priority first and within a
// priority the higher weight first; other types skipped.
std::vector<ServerRow> SRVRows(const TSmartNSRecords& answers, bool tls);
// The MX records of the answer section, lowest preference first.
std::vector<ServerRow> MXRows(const TSmartNSRecords& answers);
// The list: both kinds of SRV rows merged by priority and weight (_pop3s
// first where they tie), then the MX rows.
std::vector<ServerRow> ServerList(
    const std::vector<ServerRow>& pop3s, const std::vector<ServerRow>& pop3, const std::vector<ServerRow>& mx);
// A name "Verbinden" may hand on: printable ASCII, no blank, no ":".
bool IsHostName(const std::string& name);
// The name server asked, for the error page.
QString NameServerText(const std::string& host, const std::string& port);
// True for a DNS response code: the name server answered, the record kind
// is just not there (an SRV query's "Name Error" is no failure of the search).
bool IsAnswerCode(int32_t code);

// Asked when the machine names no name server.
inline constexpr char FallbackNameServer[] = "9.9.9.9";

} // namespace LookupRules

class TPOP3Lookup : public QDialog {
    Q_OBJECT
public:
    // Reads the remembered domain from the store at once.
    explicit TPOP3Lookup(TSettingsStore& settings, QWidget* parent = nullptr);

    // Shows the wizard modally at step 1, centred over the main window. True
    // when "Verbinden" closed it; ServerName() then holds the server: a host,
    // "host:port" (_pop3) or "pop3s://host:port" (_pop3s).
    bool Execute(QWidget* mainWindow);
    // Everything Execute does before running modally; tests show it themselves.
    void Prepare(QWidget* mainWindow);

    QString ServerName() const { return serverName_; }
    // The main window's wait limit in seconds, used for the next query.
    void SetTimeout(int seconds) { timeout_ = seconds; }
    int Step() const { return step_; }
    int ServerCount() const { return serverCount_; }
    TSmartNSLookup& NSLookup() { return nsLookup_; }

    // Keeps the typed name at every closing, whatever the result.
    void done(int result) override;
    // "Abbrechen" and Escape: stop a running search (the wizard stays), else close.
    void reject() override;
    bool Querying() const { return querying_; }

    static const QString& SettingsKey;

protected:
    // A close during a search stops it; the wizard closes once it has ended.
    void closeEvent(QCloseEvent* event) override;
    // During a search: input for anything but the stop is swallowed.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    QWidget* BuildWelcomePage();
    QWidget* BuildErrorPage();
    QWidget* BuildSelectPage();
    QWidget* BuildNoMXPage();
    void ReadDomain();
    void FormClose();
    void ShowStep();
    void ApplyView(const LookupRules::StepView& view, bool moveFocus);
    void NextButtonClick();
    void BackButtonClick();
    void MXHostsChange();
    void NameEditChange();
    // False when the user stopped it.
    bool RunQuery();
    bool Ask(const std::string& name, const char* type);
    void Stop();

    TSettingsStore& settings_;
    TSmartNSLookup nsLookup_;
    int step_ = 1;
    int serverCount_ = -1;
    int timeout_ = 30;
    QString serverName_;
    bool querying_ = false;
    bool stopRequested_ = false;
    bool closeAfterStop_ = false;

    QLabel* iconDisplay_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QWidget* panelWelcome_ = nullptr;
    QWidget* panelError_ = nullptr;
    QWidget* panelSelect_ = nullptr;
    QWidget* panelNoMX_ = nullptr;
    QLineEdit* nameEdit_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    QLabel* nameServerLabel_ = nullptr;
    QLabel* stopNote_ = nullptr;
    QTreeWidget* mxHosts_ = nullptr;
    QPushButton* backButton_ = nullptr;
    QPushButton* nextButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
};
