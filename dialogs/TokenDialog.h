#pragma once

// "Token holen": fetches an OAuth2 access token for XOAUTH2 and OAUTHBEARER
// from Microsoft, Google or another provider, in the browser (PKCE) or with a
// code on another device, and hands it to the assistant's token field. The
// engine (oauth/) runs on a worker thread; each step is told in the dialog
// and as a grey note in the protocol log. A refresh token may be kept in the
// desktop's keyring (settings/SecretStore), never in settings.json; the client
// ID may be kept in the settings, the client secret is not.

#include <QDialog>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <thread>

#include "oauth/OAuth.h"

class QButtonGroup;
class QCloseEvent;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QWidget;
class TLogSink;
class TSettingsStore;

namespace TokenRules {

// The program and arguments that open Url: the command line in Override
// (BRIEFLOTSE_BROWSER, so that tests can play the browser) with the URL as
// its last word, or xdg-open.
QStringList BrowserCommand(const QString& Override, const QString& Url);

} // namespace TokenRules

class TTokenDialog : public QDialog {
    Q_OBJECT
public:
    enum TProvider { tpMicrosoft, tpGoogle, tpOther };

    TTokenDialog(TSettingsStore& Settings, QWidget* Parent = nullptr);
    ~TTokenDialog() override;

    // Where the steps go besides the dialog; the window's protocol log.
    void SetLog(TLogSink* Log) { FLog = Log; }
    // Before showing: the user name of the AUTH page (the login hint and part
    // of the key of a kept refresh token).
    void Prepare(const QString& User);
    // After the dialog was accepted.
    QString AccessToken() const { return FAccessToken; }
    void ForgetAccessToken();

    // While a flow waits, Escape and "Abbrechen" end it and the dialog stays.
    void reject() override;
    void done(int Result) override;

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    struct TJob;

    void FormCreate();
    void LoadSettings();
    void SaveSettings();
    void ProviderChanged();
    void ButtonStartClick();
    void CancelFlow();
    void SetRunning(bool Running);
    // From the worker, on the GUI thread: FJobId tells a stale job's posts apart.
    void ShowStep(int JobId, const QString& Text);
    void ShowDeviceCode(int JobId, const TDeviceCode& Code);
    void JobFinished(int JobId, const TOAuthResult& Result);
    void StoreChecked(bool Available, const QString& Reason);

    TSettingsStore& FSettings;
    TLogSink* FLog = nullptr;
    QString FUser;
    QString FAccessToken;
    // Tokens of this run, shared with the workers (the store is thread-safe).
    std::shared_ptr<TOAuthTokenStore> FTokens;
    std::shared_ptr<TJob> FJob;
    std::thread FWorker;
    std::thread FProbe;
    int FJobId = 0;
    bool FRunning = false;
    bool FStoreAvailable = false;
    bool FStoreChecked = false;

    QRadioButton* FRadioMicrosoft = nullptr;
    QRadioButton* FRadioGoogle = nullptr;
    QRadioButton* FRadioOther = nullptr;
    QLineEdit* FEditTenant = nullptr;
    QLineEdit* FEditIssuer = nullptr;
    QLineEdit* FEditScope = nullptr;
    QLineEdit* FEditClientId = nullptr;
    QLineEdit* FEditClientSecret = nullptr;
    QCheckBox* FCheckKeepClientId = nullptr;
    QRadioButton* FRadioBrowser = nullptr;
    QRadioButton* FRadioDevice = nullptr;
    QCheckBox* FCheckKeepRefresh = nullptr;
    QLabel* FLabelUser = nullptr;
    QWidget* FDevicePanel = nullptr;
    QLabel* FLabelDeviceCode = nullptr;
    QLabel* FLabelDeviceUrl = nullptr;
    QPushButton* FButtonCopyCode = nullptr;
    QPlainTextEdit* FTextSteps = nullptr;
    QLabel* FLabelProblem = nullptr;
    QPushButton* FButtonStart = nullptr;
    QPushButton* FButtonCancel = nullptr;
};
