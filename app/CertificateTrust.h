#pragma once

// Certificates the user has decided to trust, by server and port, remembered
// as their SHA-256 fingerprints in the settings. A certificate that fails the
// check is shown with its reason and details, and the user decides; the
// default answer cancels. A remembered fingerprint that changes gets a strong
// warning and is never accepted silently.

#include <string>

#include "net/TlsInfo.h"

class QString;
class QWidget;
class TSettingsStore;

class TCertificateTrust {
public:
    explicit TCertificateTrust(TSettingsStore& Settings);

    // Target is "host:port". True: go on with this connection.
    bool Accept(QWidget* Parent, const TTlsInfo& Info, const std::string& Target);
    // After Accept: a line for the log, or empty.
    const std::string& Note() const { return FNote; }

private:
    bool Forget(const QString& Name);

    TSettingsStore& FSettings;
    std::string FNote;
};
