#include "dialogs/BrieflotseAbout.h"

#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "dialogs/WebLinkThread.h"
#include "resources/Resources.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace AboutTexts {

QString VersionText()
{
#if defined(Q_OS_LINUX)
    const QString Platform = QStringLiteral("Linux");
#elif defined(Q_OS_MACOS)
    const QString platform = QStringLiteral("macOS");
#elif defined(Q_OS_WIN)
    const QString platform = QStringLiteral("Windows");
#else
    const QString platform = QSysInfo::kernelType();
#endif
    return QStringLiteral("Brieflotse 1.0 (Kiosko) für ") + Platform;
}

QString HintFor(const QString& Url)
{
    return QStringLiteral("Öffnet ") + Url;
}

QString BrowserFailureText()
{
    return QStringLiteral("Der Web-Browser konnte nicht gestartet werden.\r\n"
                          "\r\n"
                          "Stellen Sie sicher, daß ein 32-Bit-Browser\r\n"
                          "installiert und korrekt konfiguriert ist, und\r\n"
                          "versuchen Sie es dann erneut.");
}

} // namespace AboutTexts

namespace {

QPixmap KioskoLogo()
{
    QPixmap Logo(BrieflotsePictures::Kiosko);
    if (!Logo.isNull())
        return Logo;
    // Without the resource a plain drawn logo keeps the layout and the click target.
    Logo = QPixmap(142, 32);
    Logo.fill(QColor(0, 0, 128));
    QPainter Painter(&Logo);
    Painter.setPen(Qt::white);
    QFont Font = Painter.font();
    Font.setBold(true);
    Font.setPixelSize(20);
    Painter.setFont(Font);
    Painter.drawText(Logo.rect(), Qt::AlignCenter, "Kiosko");
    return Logo;
}

QLabel* PlainLabel(const QString& Text, QWidget* Parent)
{
    auto* Label = new QLabel(Text, Parent);
    // Plain text: "&" and "<" are shown as they are.
    Label->setTextFormat(Qt::PlainText);
    Label->setWordWrap(true);
    return Label;
}

} // namespace

TLinkLabel::TLinkLabel(const QString& Url, QWidget* Parent)
    : QLabel(Parent)
    , FUrl(Url)
{
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);
    setToolTip(AboutTexts::HintFor(Url));
    setStatusTip(AboutTexts::HintFor(Url));
    setFocusPolicy(Qt::TabFocus);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* Event)
{
    if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint())) {
        emit Clicked();
        Event->accept();
        return;
    }
    QLabel::mouseReleaseEvent(Event);
}

void TLinkLabel::keyPressEvent(QKeyEvent* Event)
{
    // Reachable with Tab, opened with the space bar; Enter stays the dialog's key.
    if (Event->key() == Qt::Key_Space) {
        emit Clicked();
        Event->accept();
        return;
    }
    QLabel::keyPressEvent(Event);
}

TPOP3About::TPOP3About(QWidget* Parent)
    : QDialog(Parent,
        Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::CustomizeWindowHint)
{
    setObjectName("POP3About");
    FormCreate();
}

void TPOP3About::FormCreate()
{
    setWindowTitle(QStringLiteral("Über Brieflotse"));
    setWindowIcon(BrieflotseMainIcon());

    auto* Icon = new QLabel(this);
    Icon->setObjectName("IconDisplay");
    Icon->setPixmap(QIcon(BrieflotsePictures::MainIcon).pixmap(32, 32));
    Icon->setFixedSize(32, 32);

    auto* Version = PlainLabel(AboutTexts::VersionText(), this);
    Version->setObjectName("VersionLabel");
    auto* Notice = PlainLabel(QStringLiteral("Copyright © 2026 Ravelko\nAlle Rechte vorbehalten."), this);
    Notice->setObjectName("NoticeLabel");

    auto* Ravelko = new TLinkLabel(AboutTexts::MakerUrl, this);
    Ravelko->setObjectName("Ravelko");
    Ravelko->setText(AboutTexts::MakerUrl);
    auto* Kiosko = new TLinkLabel(AboutTexts::MagazineUrl, this);
    Kiosko->setObjectName("Kiosko");
    Kiosko->setPixmap(KioskoLogo());
    Kiosko->setFixedSize(142, 32);
    Kiosko->setAccessibleName(QStringLiteral("Kiosko"));
    Kiosko->setAccessibleDescription(QStringLiteral("Öffnet %1 im Browser").arg(AboutTexts::MagazineUrl));
    auto* RfcLabel = PlainLabel("Diese Software basiert auf rfc1939:", this);
    RfcLabel->setObjectName("RfcLabel");
    auto* Rfc1939 = new TLinkLabel(AboutTexts::RfcUrl, this);
    Rfc1939->setObjectName("rfc1939");
    Rfc1939->setText(AboutTexts::RfcUrl);

    for (TLinkLabel* Link : { Ravelko, Rfc1939 }) {
        QFont Font = Link->font();
        Font.setUnderline(true);
        Link->setFont(Font);
        QPalette Palette = Link->palette();
        Palette.setColor(QPalette::WindowText, Qt::blue);
        Link->setPalette(Palette);
    }
    connect(Ravelko, &TLinkLabel::Clicked, this, &TPOP3About::RavelkoClick);
    connect(Kiosko, &TLinkLabel::Clicked, this, &TPOP3About::KioskoClick);
    connect(Rfc1939, &TLinkLabel::Clicked, this, &TPOP3About::Rfc1939Click);

    FButtonOK = new QPushButton("OK", this);
    FButtonOK->setObjectName("ButtonOK");
    FButtonOK->setDefault(true);
    FButtonOK->setAccessibleDescription(QStringLiteral("Schließt dieses Fenster"));
    connect(FButtonOK, &QPushButton::clicked, this, &QDialog::accept);

    auto* Text = new QVBoxLayout;
    Text->setSpacing(6);
    Text->addWidget(Version);
    Text->addWidget(Notice);
    Text->addSpacing(6);
    Text->addWidget(Ravelko);
    Text->addSpacing(6);
    Text->addWidget(Kiosko, 0, Qt::AlignLeft);
    Text->addSpacing(24);
    Text->addWidget(RfcLabel);
    Text->addWidget(Rfc1939);
    Text->addStretch(1);

    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(FButtonOK);
    Buttons->addStretch(1);

    auto* Grid = new QGridLayout(this);
    Grid->setContentsMargins(16, 16, 16, 12);
    Grid->setHorizontalSpacing(16);
    Grid->setVerticalSpacing(24);
    Grid->addWidget(Icon, 0, 0, Qt::AlignTop | Qt::AlignLeft);
    Grid->addLayout(Text, 0, 1);
    Grid->addLayout(Buttons, 1, 0, 1, 2);
    Grid->setSizeConstraint(QLayout::SetFixedSize);
}

void TPOP3About::Execute(QWidget* MainWindow)
{
    DialogPlacement::CentreOver(this, MainWindow);
    FButtonOK->setFocus();
    exec();
}

void TPOP3About::OpenLink(const QString& Url)
{
    // The completion may come after the box was closed; it only shows a message then.
    QPointer<TPOP3About> Self(this);
    TWebLinkThread::Start(Url, [Self](const TWebLinkThread& Thread) {
        if (Self)
            Self->WebLinkDone(Thread.URL(), Thread.Succeeded());
    });
}

void TPOP3About::WebLinkDone(const QString& Url, bool Succeeded)
{
    if (!Succeeded) {
        QWidget* Owner = isVisible() ? static_cast<QWidget*>(this) : parentWidget();
        TMessageBox::Error(Owner, "Brieflotse - Hyperlink", AboutTexts::BrowserFailureText());
    }
    emit WebLinkFinished(Url, Succeeded);
}
