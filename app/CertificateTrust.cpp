#include "app/CertificateTrust.h"

#include <QString>

#include "conversation/GuidanceTexts.h"
#include "dialogs/MessageBox.h"
#include "settings/SettingsKey.h"

namespace {

const QString TrustKey = SettingsPaths::Base + QStringLiteral("Certificates\\");

QString Q(const std::string& Text)
{
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

QString Details(const TTlsInfo& Info)
{
    return QStringLiteral("Ausgestellt für: %1\nAusgestellt von: %2\nGültig von %3 bis %4\nSHA-256: %5")
        .arg(Q(Info.Subject), Q(Info.Issuer), Q(Info.NotBefore), Q(Info.NotAfter), Q(Info.Fingerprint));
}

} // namespace

bool TCertificateTrust::Forget(const QString& Name)
{
    try {
        TSettingsKey Key(FSettings, TrustKey);
        return Key.IsOpen() && FSettings.DeleteValue(Name);
    } catch (const TSettingsError&) {
        return false;
    }
}

TCertificateTrust::TCertificateTrust(TSettingsStore& Settings)
    : FSettings(Settings)
{
}

bool TCertificateTrust::Accept(QWidget* Parent, const TTlsInfo& Info, const std::string& Target)
{
    const QString Name = Q(Target);
    QString Remembered;
    try {
        TSettingsKey Key(FSettings, TrustKey);
        if (Key.IsOpen() && FSettings.ValueExists(Name) && FSettings.IsText(Name))
            Remembered = FSettings.ReadString(Name);
    } catch (const TSettingsError&) {
    }
    const QString Fingerprint = Q(Info.Fingerprint);
    FNote.clear();
    if (Info.Verify == tvOk) {
        // An exception the check no longer needs is forgotten, so that a
        // later failure of this server is asked about again.
        if (!Remembered.isEmpty() && Forget(Name))
            FNote = "Brieflotse: Das Zertifikat von " + Target
                + " besteht die Prüfung jetzt selbst; die gemerkte Ausnahme (SHA-256 " + Remembered.toStdString()
                + ") wird nicht mehr gebraucht und ist gelöscht.";
        return true;
    }
    if (!Remembered.isEmpty() && Remembered == Fingerprint)
        return true;

    const std::string Host = Target.substr(0, Target.rfind(':'));
    QString Question;
    if (!Remembered.isEmpty()) {
        Question = QStringLiteral("WARNUNG: Das Zertifikat von %1 hat sich geändert!\n\nSie hatten einem anderen "
                                  "Zertifikat dieses Servers vertraut (SHA-256 %2). Ein neues Zertifikat kann "
                                  "harmlos sein (erneuert), es kann aber auch bedeuten, daß sich jemand als dieser "
                                  "Server ausgibt und Ihr Paßwort abfangen will.\n\n%3\n\nNur wenn Sie sicher sind, "
                                  "daß der Betreiber das Zertifikat gewechselt hat: dem neuen Zertifikat vertrauen "
                                  "und verbinden?")
                       .arg(Name, Remembered, Details(Info));
    } else {
        Question = QStringLiteral("Das Zertifikat von %1 hat die Prüfung nicht bestanden:\n%2\n\n%3\n\nWenn Sie "
                                  "diesem Zertifikat vertrauen, merkt Brieflotse es sich für diesen Server und Port. "
                                  "Diesem Zertifikat vertrauen und verbinden?")
                       .arg(Name, Q(CertificateProblemText(Info.Verify, Host)), Details(Info));
    }
    if (!TMessageBox::AskYesNo(Parent, QStringLiteral("Brieflotse - Zertifikat"), Question))
        return false;
    try {
        TSettingsKey Key(FSettings, TrustKey);
        if (Key.IsOpen())
            FSettings.WriteString(Name, Fingerprint);
    } catch (const TSettingsError&) {
    }
    return true;
}
