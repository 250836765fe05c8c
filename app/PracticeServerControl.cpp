#include "app/PracticeServerControl.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QWidget>

#include <algorithm>
#include <cstdio>

#include "app/PracticeGuidance.h"
#include "dialogs/MessageBox.h"
#include "practice/PracticeServer.h"
#include "practice/ReplayServer.h"

namespace {

const TPracticeOptions Options;

TPracticeAddress AddressOf(const TPracticeServer* Server)
{
    TPracticeAddress Address;
    Address.Port = Server ? Server->Port() : 0;
    Address.TlsPort = Server ? Server->TlsPort() : 0;
    Address.SlowSeconds = Options.SlowMs / 1000;
    Address.LoginDelaySeconds = Options.LoginDelaySeconds;
    return Address;
}

QString FromUtf8(const std::string& Text)
{
    return QString::fromUtf8(Text.data(), static_cast<int>(Text.size()));
}

} // namespace

TPracticeServerControl::TPracticeServerControl(QMenu* Menu, QObject* Parent)
    : QObject(Parent)
{
    Menu->addSeparator();
    FStart = Menu->addAction(QStringLiteral("&Übungs-Server starten"));
    FStart->setObjectName(QStringLiteral("MenuUebungsServer"));
    FStart->setStatusTip(QStringLiteral("Startet einen POP3-Server zum Üben auf diesem Rechner"));
    connect(FStart, &QAction::triggered, this, &TPracticeServerControl::StartClick);

    FReplayItem = Menu->addAction(QStringLiteral("Mitschnitt &abspielen ..."));
    FReplayItem->setObjectName(QStringLiteral("MenuMitschnittAbspielen"));
    FReplayItem->setStatusTip(
        QStringLiteral("Startet einen Übungs-Server, der einen gespeicherten Mitschnitt wiedergibt"));
    connect(FReplayItem, &QAction::triggered, this, &TPracticeServerControl::ReplayClick);

    QMenu* Faults = Menu->addMenu(QStringLiteral("Übungs-&Fehler"));
    Faults->setObjectName(QStringLiteral("MenuUebungsFehler"));
    FFaults = new QActionGroup(this);
    int Count = 0;
    const TPracticeFault* All = PracticeFaults(Count);
    for (int Index = 0; Index < Count; ++Index) {
        QAction* Item = Faults->addAction(FromUtf8(PracticeFaultCaption(All[Index])));
        Item->setObjectName(QStringLiteral("MenuFehler-%1").arg(QString::fromStdString(PracticeFaultName(All[Index]))));
        Item->setStatusTip(FromUtf8(PracticeFaultHint(All[Index])));
        Item->setCheckable(true);
        Item->setChecked(All[Index] == TPracticeFault::None);
        Item->setData(Index);
        FFaults->addAction(Item);
        if (Index == 0)
            Faults->addSeparator();
    }
    connect(FFaults, &QActionGroup::triggered, this, &TPracticeServerControl::FaultClick);
}

TPracticeServerControl::~TPracticeServerControl()
{
    if (FServer)
        FServer->Stop();
    if (FReplay)
        FReplay->Stop();
}

bool TPracticeServerControl::Running() const
{
    return FServer && FServer->Running();
}

int TPracticeServerControl::Port() const
{
    return Running() ? FServer->Port() : 0;
}

int TPracticeServerControl::TlsPort() const
{
    return Running() ? FServer->TlsPort() : 0;
}

void TPracticeServerControl::StartClick()
{
    ForgetFaultNotes();
    if (!Running()) {
        FServer = std::make_unique<TPracticeServer>(Options);
        FServer->SetFault(FFault);
        FServer->OnExchange = [this] {
            std::lock_guard<std::mutex> Guard(FLock);
            FShown.clear();
        };
        FServer->OnFault = [this](TPracticeFault Fault) {
            std::lock_guard<std::mutex> Guard(FLock);
            if (std::find(FShown.begin(), FShown.end(), Fault) == FShown.end())
                FShown.push_back(Fault);
        };
        if (!FServer->Start()) {
            emit GuidanceChosen(PracticeStartFailedGuidance(FServer->Problem()), true);
            FServer.reset();
            return;
        }
    }
    emit GuidanceChosen(PracticeStartedGuidance(AddressOf(FServer.get())), false);
    emit ServerStarted(QStringLiteral("127.0.0.1:%1").arg(FServer->Port()));
}

void TPracticeServerControl::FaultClick(QAction* Item)
{
    int Count = 0;
    const TPracticeFault* All = PracticeFaults(Count);
    const int Index = Item->data().toInt();
    if (Index < 0 || Index >= Count)
        return;
    FFault = All[Index];
    ForgetFaultNotes();
    if (FServer)
        FServer->SetFault(FFault);
    std::string Text = PracticeFaultChosenGuidance(FFault, AddressOf(FServer.get()));
    if (!Running())
        Text += " Starten Sie dazu den Übungs-Server (\"Server\" > \"Übungs-Server starten\").";
    emit GuidanceChosen(Text, false);
}

void TPracticeServerControl::ReplayClick()
{
    QFileDialog Dialog(qobject_cast<QWidget*>(parent()));
    Dialog.setObjectName(QStringLiteral("ReplayDialog"));
    Dialog.setWindowTitle(QStringLiteral("Brieflotse - Mitschnitt abspielen"));
    Dialog.setAcceptMode(QFileDialog::AcceptOpen);
    Dialog.setFileMode(QFileDialog::ExistingFile);
    Dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    Dialog.setNameFilters({ QStringLiteral("Mitschnitte (*.jsonl)"), QStringLiteral("Alle Dateien (*)") });
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
        return;
    StartReplay(Dialog.selectedFiles().constFirst());
}

bool TPracticeServerControl::StartReplay(const QString& Path)
{
    ForgetFaultNotes();
    // One replay at a time: the new file replaces the one served so far.
    if (FReplay)
        FReplay->Stop();
    TReplayOptions Replay;
    Replay.Path = QFile::encodeName(Path).toStdString();
    FReplay = std::make_unique<TReplayServer>(Replay);
    // A command that differs goes where the terminal mode puts it too.
    FReplay->OnDiagnostic = [](const std::string& Text) {
        std::fprintf(stderr, "brieflotse: Mitschnitt %s\n", Text.c_str());
        std::fflush(stderr);
    };
    QApplication::setOverrideCursor(Qt::WaitCursor); // the file is read through once
    const bool Started = FReplay->Start();
    QApplication::restoreOverrideCursor();
    if (!Started) {
        const QString Problem = FromUtf8(FReplay->Problem());
        FReplay.reset();
        TMessageBox::Error(qobject_cast<QWidget*>(parent()), QStringLiteral("Brieflotse - Mitschnitt abspielen"),
            QStringLiteral("Der Mitschnitt \"%1\" kann nicht abgespielt werden.\n\n%2")
                .arg(QDir::toNativeSeparators(Path), Problem));
        return false;
    }
    emit GuidanceChosen(ReplayStartedGuidance(FReplay->Port(), FReplay->TlsPort(), FReplay->Connections()), false);
    // Its first connection decides how the window connects.
    emit ServerStarted(FReplay->FirstImplicitTls() ? QStringLiteral("pop3s://127.0.0.1:%1").arg(FReplay->TlsPort())
                                                   : QStringLiteral("127.0.0.1:%1").arg(FReplay->Port()));
    return true;
}

void TPracticeServerControl::ForgetFaultNotes()
{
    std::lock_guard<std::mutex> Guard(FLock);
    FShown.clear();
}

std::string TPracticeServerControl::WithFaultNotes(const std::string& Guidance)
{
    std::vector<TPracticeFault> Shown;
    {
        std::lock_guard<std::mutex> Guard(FLock);
        Shown = FShown;
    }
    std::string Text = Guidance;
    for (const TPracticeFault Fault : Shown) {
        const std::string Note = PracticeFaultShownNote(Fault, AddressOf(FServer.get()));
        if (!Note.empty())
            Text += (Text.empty() ? "" : "\r\n") + Note;
    }
    return Text;
}
