#pragma once

// "Server prüfen": the server check in the window. The check runs on a worker
// thread; what it reports comes back to this thread through queued calls and
// fills a live list, then the report, which can be saved as HTML, PDF or
// JSON. Each probe's bytes go to the protocol log it is given. The password
// is kept nowhere but in its field, which is emptied when the dialog closes.

#include <QDialog>
#include <QHash>
#include <QStringList>
#include <memory>
#include <optional>
#include <thread>

#include "check/CheckReport.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;
class TLogSink;
class TServerCheck;
struct TProbeTranscript;

class TServerCheckDialog : public QDialog {
    Q_OBJECT

public:
    TServerCheckDialog(TLogSink& Log, QWidget* Parent = nullptr);
    ~TServerCheckDialog() override;

    // Server in the field, History (the main window's) in its list.
    void Prepare(const QString& Server, const QStringList& History);
    bool Running() const { return FCheck != nullptr; }
    const std::optional<TCheckReport>& Report() const { return FReport; }

public slots:
    // "Prüfen": a target that ParseCheckTarget refuses is explained, and
    // nothing goes on the wire.
    void Start();
    // Stops every probe; returns once the worker has ended (within about
    // 100 ms). The findings so far become the report.
    void Stop();
    // Escape and "Abbrechen" stop a running check; otherwise they close.
    void reject() override;
    void done(int Result) override;

signals:
    // A check started for this text as typed: it belongs in the history.
    void ServerChecked(const QString& Server);

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    class TRelay;

    void BuildControls();
    void ShowProblem(const QString& Text);
    // From the worker, through queued calls; Run tells a finished check's
    // late calls from those of the current one.
    void ProbeStarted(int Run, const QString& Id, const QString& Title);
    void ProbeFinished(int Run, const QString& Id, const TProbeTranscript& Transcript);
    void FindingJudged(int Run, const TCheckFinding& Finding);
    void ProgressMade(int Run, int Done, int Total);
    void CheckEnded(int Run, const TCheckReport& Report);
    void JoinWorker();
    void SetRunning(bool Running);
    QTreeWidgetItem* AddListItem(const QString& Verdict, const QString& Title);
    enum class TExport { Html, Pdf, Json };
    void Export(TExport Kind);

    TLogSink& FLog;
    std::unique_ptr<TRelay> FRelay;
    std::unique_ptr<TServerCheck> FCheck;
    std::thread FWorker;
    int FRun = 0;
    std::optional<TCheckReport> FReport;
    QHash<QString, QTreeWidgetItem*> FProbes;
    QString FSaveFolder;

    QComboBox* FServer = nullptr;
    QLineEdit* FUser = nullptr;
    QLineEdit* FPassword = nullptr;
    QLabel* FProblem = nullptr;
    QPushButton* FStartButton = nullptr;
    QStackedWidget* FPages = nullptr;
    QTreeWidget* FList = nullptr;
    QTextBrowser* FBrowser = nullptr;
    QProgressBar* FProgress = nullptr;
    QPushButton* FExportButtons[3] = { nullptr, nullptr, nullptr };
    QPushButton* FCloseButton = nullptr;
};
