#pragma once

// The about box: program name and version, the maker's notice and three web
// links (maker, magazine edition, RFC 1939). A click opens its address on a
// TWebLinkThread; a failure is reported afterwards, even when the box has
// been closed in the meantime.

#include <QDialog>
#include <QLabel>
#include <QString>

class QPushButton;

namespace AboutTexts {
inline constexpr char MakerUrl[] = "https://www.example.com/brieflotse/";
inline constexpr char MagazineUrl[] = "https://www.example.org/kiosko/";
inline constexpr char RfcUrl[] = "https://www.rfc-editor.org/rfc/rfc1939.txt";

// "Brieflotse 1.0 (Kiosko) für <platform>", naming the platform it was built for.
QString VersionText();
QString HintFor(const QString& Url);
// The five lines of the failure box, joined by CR LF.
QString BrowserFailureText();
} // namespace AboutTexts

// A label that reacts to a left click, for the links and the logo.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    TLinkLabel(const QString& Url, QWidget* Parent);
    QString Url() const { return FUrl; }

signals:
    void Clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    QString FUrl;
};

class TPOP3About : public QDialog {
    Q_OBJECT
public:
    explicit TPOP3About(QWidget* Parent = nullptr);

    // Centred over the main window, modal; the result is of no interest.
    void Execute(QWidget* MainWindow);

signals:
    // After each link's opener has ended and any failure box was shown.
    void WebLinkFinished(const QString& Url, bool Succeeded);

private:
    void FormCreate();
    void OpenLink(const QString& Url);
    void WebLinkDone(const QString& Url, bool Succeeded);
    void RavelkoClick() { OpenLink(AboutTexts::MakerUrl); }
    void KioskoClick() { OpenLink(AboutTexts::MagazineUrl); }
    void Rfc1939Click() { OpenLink(AboutTexts::RfcUrl); }

    QPushButton* FButtonOK = nullptr;
};
