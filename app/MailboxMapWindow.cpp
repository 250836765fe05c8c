#include "app/MailboxMapWindow.h"

#include <QHeaderView>
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <map>

#include "conversation/POP3Conversation.h"
#include "conversation/ReplyRules.h"
#include "dialogs/MessageBox.h"
#include "dialogs/WaitInputGuard.h"

namespace {

// Above this many messages the user is asked first.
constexpr size_t kAskAbove = 100;
// TOP commands in one write when the server pipelines.
constexpr size_t kPipelineDepth = 50;
// A LIST or UIDL body of a mailbox with a million messages fits.
constexpr size_t kMaxListingBytes = 64u << 20;
// A header block beyond this is not needed for date, sender and subject.
constexpr size_t kMaxHeaderBytes = 256u << 10;

// The last map of each server, while the program runs.
std::map<std::string, std::vector<TMailboxRow>>& EarlierMaps()
{
    static std::map<std::string, std::vector<TMailboxRow>> Maps;
    return Maps;
}

QString FromUtf8(const std::string& Text)
{
    return QString::fromUtf8(Text.data(), static_cast<int>(Text.size()));
}

} // namespace

TMailboxMapWindow::TMailboxMapWindow(TPOP3Conversation& Conversation, TWaitInputGuard& Guard, QWidget* Parent)
    : QWidget(Parent, Qt::Window)
    , FConversation(Conversation)
    , FGuard(Guard)
{
    setObjectName(QStringLiteral("MailboxMap"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Brieflotse - Postfach-Übersicht"));
    auto* Layout = new QVBoxLayout(this);
    FTable = new QTableWidget(0, 7, this);
    FTable->setObjectName(QStringLiteral("MailboxTable"));
    FTable->setHorizontalHeaderLabels({ QStringLiteral("Nummer"), QStringLiteral("UIDL"), QStringLiteral("Größe"),
        QStringLiteral("Datum"), QStringLiteral("Von"), QStringLiteral("Betreff"), QStringLiteral("Vermerk") });
    FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FTable->setSelectionMode(QAbstractItemView::SingleSelection);
    FTable->verticalHeader()->hide();
    FTable->horizontalHeader()->setStretchLastSection(true);
    FTable->setAccessibleName(QStringLiteral("Nachrichten im Postfach"));
    Layout->addWidget(FTable);
    FSummary = new QLabel(this);
    FSummary->setObjectName(QStringLiteral("MailboxSummary"));
    Layout->addWidget(FSummary);
    // Double-click and Enter.
    connect(FTable, &QAbstractItemView::activated, this, [this](const QModelIndex& Index) {
        const TMailboxRow& Row = FRows.at(static_cast<size_t>(Index.row()));
        if (Row.Number > 0)
            emit RetrieveRequested(Row.Number);
    });
    resize(900, 480);
    FConversation.SetReplyObserver([this](const TCommand& Command, const std::string& Reply) {
        FollowReply(Command.Word, Command.Number, Reply);
    });
}

TMailboxMapWindow::~TMailboxMapWindow()
{
    FConversation.SetReplyObserver(nullptr);
}

std::string TMailboxMapWindow::ServerKey() const
{
    return FConversation.Transport().TargetHost() + ":" + FConversation.Transport().TargetPortText();
}

bool TMailboxMapWindow::Build(bool AskFirst)
{
    const QString Title = QStringLiteral("Brieflotse - Postfach-Übersicht");
    if (!FConversation.Connected() || FConversation.Busy()) {
        TMessageBox::Information(parentWidget(), Title,
            QStringLiteral("Für die Postfach-Übersicht muß eine Verbindung bestehen und die Anmeldung erfolgt sein."));
        return false;
    }
    if (FConversation.Capabilities().All().empty())
        FConversation.Exchange({ "CAPA" }, 64 * 1024);
    FPipelined = FConversation.Capabilities().Has("PIPELINING");
    const auto List = FConversation.Exchange({ "LIST" }, kMaxListingBytes);
    if (List.empty() || !IsPositiveReply(List.front().Status))
        return false;
    const auto Uidl = FConversation.Exchange({ "UIDL" }, kMaxListingBytes);
    FRows = RowsFromListings(List.front().Body, Uidl.empty() ? std::string() : Uidl.front().Body);
    if (AskFirst && FRows.size() > kAskAbove
        && !TMessageBox::AskYesNo(parentWidget(), Title,
            QStringLiteral("Das Postfach enthält %1 Nachrichten. Für jede wird der Kopf mit TOP abgerufen.\n\n"
                           "Trotzdem jetzt die Übersicht erstellen?")
                .arg(FromUtf8(GroupedCount(FRows.size())))))
        return false;

    QProgressDialog Progress(QStringLiteral("Kopfzeilen werden abgerufen ..."), QString(), 0,
        static_cast<int>(FRows.size()), parentWidget());
    Progress.setWindowTitle(Title);
    auto* Cancel = new QPushButton(QStringLiteral("Abbrechen"));
    Cancel->setObjectName(QStringLiteral("MailboxMapCancel"));
    Progress.setCancelButton(Cancel);
    Progress.setMinimumDuration(0);
    Progress.setAutoClose(false);
    Progress.show();
    // The first stop sends nothing more (the replies already asked for are
    // read, so the connection stays usable); a second one ends the wait.
    bool Stopped = false;
    FGuard.OverrideStop(Cancel, [this, &Stopped, &Progress] {
        if (Stopped)
            FConversation.Stop();
        Stopped = true;
        Progress.setLabelText(
            QStringLiteral("Abgebrochen: es wird nichts mehr gesendet, die letzten Antworten kommen noch ..."));
    });
    const size_t Depth = FPipelined ? kPipelineDepth : 1;
    size_t Done = 0;
    while (Done < FRows.size() && !Stopped && FConversation.Connected()) {
        std::vector<std::string> Lines;
        for (size_t Index = Done; Index < FRows.size() && Lines.size() < Depth; ++Index)
            Lines.push_back("TOP " + std::to_string(FRows[Index].Number) + " 0");
        const auto Replies = FConversation.Exchange(Lines, kMaxHeaderBytes);
        for (const auto& Reply : Replies)
            FillFromHeader(FRows[Done++], Reply.Body);
        if (Replies.size() < Lines.size())
            break;
        Progress.setValue(static_cast<int>(Done));
        FGuard.ProcessEvents();
    }
    FGuard.RestoreStop();
    Progress.close();
    FKey = ServerKey();
    MatchByUidl(FRows, EarlierMaps()[FKey]);
    EarlierMaps()[FKey] = FRows;
    Fill();
    // Enter works at once: the first row is the current one.
    if (!FRows.empty())
        FTable->setCurrentCell(0, 0);
    FSummary->setText(QStringLiteral("%1 Nachrichten, %2 Köpfe abgerufen (%3).")
                          .arg(FromUtf8(GroupedCount(FRows.size())), FromUtf8(GroupedCount(Done)),
                              FPipelined ? QStringLiteral("mehrere TOP je Sendung, der Server beherrscht PIPELINING")
                                         : QStringLiteral("ein TOP nach dem anderen")));
    return true;
}

void TMailboxMapWindow::Fill()
{
    FTable->setRowCount(static_cast<int>(FRows.size()));
    for (int Index = 0; Index < FTable->rowCount(); ++Index) {
        const TMailboxRow& Row = FRows[static_cast<size_t>(Index)];
        const QString Cells[] = { Row.Number > 0 ? QString::number(Row.Number) : QString(), FromUtf8(Row.Uidl),
            FromUtf8(GroupedCount(Row.Size)), FromUtf8(Row.Date), FromUtf8(Row.From), FromUtf8(Row.Subject),
            FromUtf8(RowNote(Row)) };
        for (int Column = 0; Column < 7; ++Column) {
            auto* Item = FTable->item(Index, Column);
            if (!Item) {
                Item = new QTableWidgetItem;
                FTable->setItem(Index, Column, Item);
            }
            Item->setText(Cells[Column]);
            if (Column == 0 || Column == 2)
                Item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            QFont Font = FTable->font();
            Font.setStrikeOut(Row.Deleted || Row.Gone);
            Item->setFont(Font);
            Item->setForeground(Row.Deleted || Row.Gone ? palette().brush(QPalette::Disabled, QPalette::Text)
                                                        : palette().brush(QPalette::Active, QPalette::Text));
        }
    }
    FTable->resizeColumnsToContents();
}

void TMailboxMapWindow::FollowReply(const std::string& Word, int Number, const std::string& Reply)
{
    // Only on the connection the map was made on.
    if (FKey.empty() || FKey != ServerKey() || !IsPositiveReply(Reply))
        return;
    // After QUIT the numbers mean nothing any more; the rows stay as they were.
    if (Word == "QUIT")
        return FKey.clear();
    if (FollowCommand(FRows, Word, Number)) {
        EarlierMaps()[FKey] = FRows;
        Fill();
    }
}
