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
    const QString platform = QStringLiteral("Linux");
#elif defined(Q_OS_MACOS)
    const QString platform = QStringLiteral("macOS");
#elif defined(Q_OS_WIN)
    const QString platform = QStringLiteral("Windows");
#else
    const QString platform = QSysInfo::kernelType();
#endif
    return QStringLiteral("Brieflotse 1.0 (Kiosko) für ") + platform;
}

QString HintFor(const QString& url) { return QStringLiteral("Öffnet ") + url; }

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
    QPixmap logo(BrieflotsePictures::Kiosko);
    if (!logo.isNull())
        return logo;
    // Without the resource a plain drawn logo keeps the layout and the click target.
    logo = QPixmap(142, 32);
    logo.fill(QColor(0, 0, 128));
    QPainter painter(&logo);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(20);
    painter.setFont(font);
    painter.drawText(logo.rect(), Qt::AlignCenter, "Kiosko");
    return logo;
}

QLabel* PlainLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    // Plain text: "&" and "<" are shown as they are.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace

TLinkLabel::TLinkLabel(const QString& url, QWidget* parent)
    : QLabel(parent)
    , url_(url)
{
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);
    setToolTip(AboutTexts::HintFor(url));
    setStatusTip(AboutTexts::HintFor(url));
    setFocusPolicy(Qt::TabFocus);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
        event->accept();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

void TLinkLabel::keyPressEvent(QKeyEvent* event)
{
    // Reachable with Tab, opened with the space bar; Enter stays the dialog's key.
    if (event->key() == Qt::Key_Space) {
        emit clicked();
        event->accept();
        return;
    }
    QLabel::keyPressEvent(event);
}

TPOP3About::TPOP3About(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
              | Qt::CustomizeWindowHint)
{
    setObjectName("POP3About");
    FormCreate();
}

void TPOP3About::FormCreate()
{
    setWindowTitle(QStringLiteral("Über Brieflotse"));
    setWindowIcon(BrieflotseMainIcon());

    auto* icon = new QLabel(this);
    icon->setObjectName("IconDisplay");
    icon->setPixmap(QIcon(BrieflotsePictures::MainIcon).pixmap(32, 32));
    icon->setFixedSize(32, 32);

    auto* version = PlainLabel(AboutTexts::VersionText(), this);
    version->setObjectName("VersionLabel");
    auto* notice = PlainLabel(QStringLiteral("Copyright © 2026 Ravelko\nAlle Rechte vorbehalten."), this);
    notice->setObjectName("NoticeLabel");

    auto* ravelko = new TLinkLabel(AboutTexts::MakerUrl, this);
    ravelko->setObjectName("Ravelko");
    ravelko->setText(AboutTexts::MakerUrl);
    auto* kiosko = new TLinkLabel(AboutTexts::MagazineUrl, this);
    kiosko->setObjectName("Kiosko");
    kiosko->setPixmap(KioskoLogo());
    kiosko->setFixedSize(142, 32);
    auto* rfcLabel = PlainLabel("Diese Software basiert auf rfc1939:", this);
    rfcLabel->setObjectName("RfcLabel");
    auto* rfc1939 = new TLinkLabel(AboutTexts::RfcUrl, this);
    rfc1939->setObjectName("rfc1939");
    rfc1939->setText(AboutTexts::RfcUrl);

    for (TLinkLabel* link : { ravelko, rfc1939 }) {
        QFont font = link->font();
        font.setUnderline(true);
        link->setFont(font);
        QPalette palette = link->palette();
        palette.setColor(QPalette::WindowText, Qt::blue);
        link->setPalette(palette);
    }
    connect(ravelko, &TLinkLabel::clicked, this, &TPOP3About::RavelkoClick);
    connect(kiosko, &TLinkLabel::clicked, this, &TPOP3About::KioskoClick);
    connect(rfc1939, &TLinkLabel::clicked, this, &TPOP3About::rfc1939Click);

    buttonOK_ = new QPushButton("OK", this);
    buttonOK_->setObjectName("ButtonOK");
    buttonOK_->setDefault(true);
    connect(buttonOK_, &QPushButton::clicked, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->setSpacing(6);
    text->addWidget(version);
    text->addWidget(notice);
    text->addSpacing(6);
    text->addWidget(ravelko);
    text->addSpacing(6);
    text->addWidget(kiosko, 0, Qt::AlignLeft);
    text->addSpacing(24);
    text->addWidget(rfcLabel);
    text->addWidget(rfc1939);
    text->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(buttonOK_);
    buttons->addStretch(1);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(16, 16, 16, 12);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(24);
    grid->addWidget(icon, 0, 0, Qt::AlignTop | Qt::AlignLeft);
    grid->addLayout(text, 0, 1);
    grid->addLayout(buttons, 1, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}

void TPOP3About::Execute(QWidget* mainWindow)
{
    DialogPlacement::CentreOver(this, mainWindow);
    buttonOK_->setFocus();
    exec();
}

void TPOP3About::OpenLink(const QString& url)
{
    // The completion may come after the box was closed; it only shows a message then.
    QPointer<TPOP3About> self(this);
    TWebLinkThread::Start(url, [self](const TWebLinkThread& thread) {
        if (self)
            self->WebLinkDone(thread.URL(), thread.Succeeded());
    });
}

void TPOP3About::WebLinkDone(const QString& url, bool succeeded)
{
    if (!succeeded) {
        QWidget* owner = isVisible() ? static_cast<QWidget*>(this) : parentWidget();
        MessageBox::error(owner, "Brieflotse - Hyperlink", AboutTexts::BrowserFailureText());
    }
    emit WebLinkFinished(url, succeeded);
}
