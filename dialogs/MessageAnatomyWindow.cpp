#include "dialogs/MessageAnatomyWindow.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTabWidget>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "message/PartContent.h"
#include "protocollog/LogSaver.h"

namespace {

constexpr int kFirstLineRole = Qt::UserRole;
constexpr int kLastLineRole = Qt::UserRole + 1;
constexpr int kIndexRole = Qt::UserRole + 2; // a part's index in TMessageAnatomy::Parts
constexpr int kDetailRole = Qt::UserRole + 3; // the item in full, for the pane below the list

// An item with no place in the message: a note across the row.
void Placeholder(QTreeWidget* Tree, const QString& Text)
{
    auto* Item = new QTreeWidgetItem(Tree, { Text });
    Item->setFirstColumnSpanned(true);
}

QPlainTextEdit* NewDetail(QWidget* Parent)
{
    auto* Detail = new QPlainTextEdit(Parent);
    Detail->setReadOnly(true);
    Detail->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    return Detail;
}

QString FromUtf8(const std::string& Text)
{
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

// Long values stay readable in a row: the first line, cut.
QString RowText(const std::string& Text)
{
    QString Shown = FromUtf8(Text.substr(0, 2000));
    Shown.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return Shown;
}

QString Bytes(uint64_t Count)
{
    return QLocale(QLocale::German).toString(static_cast<qulonglong>(Count)) + QStringLiteral(" Bytes");
}

QString Delay(int64_t Seconds)
{
    const QString Sign = Seconds < 0 ? QStringLiteral("−") : QString();
    uint64_t Left = static_cast<uint64_t>(Seconds < 0 ? -Seconds : Seconds);
    QString Text;
    if (Left >= 86400)
        Text += QString::number(Left / 86400) + QStringLiteral(" d "), Left %= 86400;
    if (Left >= 3600 || !Text.isEmpty())
        Text += QString::number(Left / 3600) + QStringLiteral(" h "), Left %= 3600;
    if (Left >= 60 || !Text.isEmpty())
        Text += QString::number(Left / 60) + QStringLiteral(" min "), Left %= 60;
    Text += QString::number(Left) + QStringLiteral(" s");
    return Sign + Text;
}

QTreeWidget* NewTree(QWidget* Parent, const char* Name, const QStringList& Columns)
{
    auto* Tree = new QTreeWidget(Parent);
    Tree->setObjectName(QLatin1String(Name));
    Tree->setHeaderLabels(Columns);
    Tree->setAlternatingRowColors(true);
    Tree->setUniformRowHeights(true);
    Tree->setAllColumnsShowFocus(true);
    Tree->header()->setStretchLastSection(true);
    return Tree;
}

void FitColumns(QTreeWidget* Tree, int Widest)
{
    for (int Column = 0; Column + 1 < Tree->columnCount(); ++Column) {
        Tree->resizeColumnToContents(Column);
        Tree->setColumnWidth(Column, qMin(Tree->columnWidth(Column), Widest));
    }
}

} // namespace

TMessageAnatomyWindow::TMessageAnatomyWindow(TSelectLines SelectLogLines, QWidget* Parent)
    : QWidget(Parent, Qt::Window)
    , FSelectLogLines(std::move(SelectLogLines))
{
    setObjectName(QStringLiteral("MessageAnatomy"));
    setWindowTitle(QStringLiteral("Brieflotse - Nachricht zerlegen"));

    FNotes = new QLabel(this);
    FNotes->setObjectName(QStringLiteral("Notes"));
    FNotes->setWordWrap(true);
    FNotes->setTextInteractionFlags(Qt::TextSelectableByMouse);

    FTabs = new QTabWidget(this);
    FTabs->setObjectName(QStringLiteral("Tabs"));

    FHeaders = NewTree(this, "Headers",
        { QStringLiteral("Feld"), QStringLiteral("Wert"), QStringLiteral("Zeichensatz"), QStringLiteral("Erklärung") });
    FHeaders->setRootIsDecorated(false);
    auto* HeaderPage = new QSplitter(Qt::Vertical, this);
    HeaderPage->addWidget(FHeaders);
    FDetails[0] = NewDetail(HeaderPage);
    FTabs->addTab(HeaderPage, QStringLiteral("&Kopf"));

    FRoute = NewTree(this, "Route",
        { QStringLiteral("Schritt"), QStringLiteral("Zeit"), QStringLiteral("Verzögerung"), QStringLiteral("Von"),
            QStringLiteral("Durch"), QStringLiteral("Mit"), QStringLiteral("Kennung"), QStringLiteral("Für"),
            QStringLiteral("Hinweis") });
    FRoute->setRootIsDecorated(false);
    auto* RoutePage = new QSplitter(Qt::Vertical, this);
    RoutePage->addWidget(FRoute);
    FDetails[1] = NewDetail(RoutePage);
    FTabs->addTab(RoutePage, QStringLiteral("&Weg"));

    auto* Checks = new QWidget(this);
    FTrustNote = new QLabel(QStringLiteral("Nur dem obersten Authentication-Results-Feld kann man trauen: Es stammt "
                                           "vom eigenen Anbieter, der die Nachricht zuletzt angenommen hat. Tiefere "
                                           "Felder kann jeder Absender oder Zwischenserver hineinschreiben."),
        Checks);
    FTrustNote->setWordWrap(true);
    FChecks = NewTree(Checks, "Checks",
        { QStringLiteral("Prüfung"), QStringLiteral("Ergebnis"), QStringLiteral("Geprüft von"),
            QStringLiteral("Erklärung"), QStringLiteral("Angaben") });
    auto* ChecksSplitter = new QSplitter(Qt::Vertical, Checks);
    ChecksSplitter->addWidget(FChecks);
    FDetails[2] = NewDetail(ChecksSplitter);
    auto* ChecksLayout = new QVBoxLayout(Checks);
    ChecksLayout->setContentsMargins(0, 0, 0, 0);
    ChecksLayout->addWidget(FTrustNote);
    ChecksLayout->addWidget(ChecksSplitter, 1);
    FTabs->addTab(Checks, QStringLiteral("&Prüfungen"));

    auto* Parts = new QSplitter(Qt::Vertical, this);
    FParts = NewTree(Parts, "Parts",
        { QStringLiteral("Teil"), QStringLiteral("Typ"), QStringLiteral("Zeichensatz"), QStringLiteral("Kodierung"),
            QStringLiteral("Disposition"), QStringLiteral("Dateiname"), QStringLiteral("kodiert"),
            QStringLiteral("dekodiert") });
    auto* Below = new QWidget(Parts);
    FPartText = new QPlainTextEdit(Below);
    FPartText->setObjectName(QStringLiteral("PartText"));
    FPartText->setReadOnly(true);
    FPartText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    FSaveButton = new QPushButton(QStringLiteral("&Speichern unter ..."), Below);
    FSaveButton->setObjectName(QStringLiteral("SavePart"));
    FSaveButton->setEnabled(false);
    connect(FSaveButton, &QPushButton::clicked, this, &TMessageAnatomyWindow::SavePart);
    auto* BelowLayout = new QVBoxLayout(Below);
    BelowLayout->setContentsMargins(0, 0, 0, 0);
    BelowLayout->addWidget(FPartText, 1);
    auto* ButtonRow = new QHBoxLayout;
    ButtonRow->addStretch(1);
    ButtonRow->addWidget(FSaveButton);
    BelowLayout->addLayout(ButtonRow);
    FTabs->addTab(Parts, QStringLiteral("&Aufbau"));

    for (QTreeWidget* Tree : { FHeaders, FRoute, FChecks, FParts })
        connect(Tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* Item) { ItemChosen(Item); });
    QTreeWidget* const Listed[] = { FHeaders, FRoute, FChecks };
    for (int Index = 0; Index < 3; ++Index) {
        connect(Listed[Index], &QTreeWidget::currentItemChanged, this, [this, Index](QTreeWidgetItem* Item) {
            FDetails[Index]->setPlainText(Item ? Item->data(0, kDetailRole).toString() : QString());
        });
    }
    connect(FParts, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* Item) { PartChosen(Item); });
    // A tab chosen by its access key puts the keys into its list at once.
    connect(FTabs, &QTabWidget::currentChanged, this, &TMessageAnatomyWindow::FocusList);

    auto* Layout = new QVBoxLayout(this);
    Layout->addWidget(FNotes);
    Layout->addWidget(FTabs, 1);
    const int Unit = fontMetrics().averageCharWidth();
    resize(Unit * 120, fontMetrics().lineSpacing() * 34);
}

TMessageAnatomyWindow::~TMessageAnatomyWindow() = default;

void TMessageAnatomyWindow::showEvent(QShowEvent* Event)
{
    // The first time over the main window; later where the user left it.
    // Beside it where the screen has room, so that the log stays in sight.
    if (!FPlaced && parentWidget()) {
        DialogPlacement::CentreOver(this, parentWidget());
        const QRect Main = parentWidget()->frameGeometry();
        const QRect Screen = parentWidget()->screen()->availableGeometry();
        const int Width = frameGeometry().width();
        if (Main.right() + 1 + Width <= Screen.right() + 1)
            move(Main.right() + 1, y());
        else if (Main.left() - Width >= Screen.left())
            move(Main.left() - Width, y());
        else // the screen's lower right corner hides the least of the log
            move(Screen.right() + 1 - Width, Screen.bottom() + 1 - frameGeometry().height());
    }
    FPlaced = true;
    QWidget::showEvent(Event);
}

void TMessageAnatomyWindow::ShowMessage(std::string Bytes, bool Cut, bool LinesValid, qint64 FirstLogLine)
{
    FBytes = std::move(Bytes);
    FCut = Cut;
    FLinesValid = LinesValid;
    FFirstLogLine = FirstLogLine;
    const unsigned Generation = ++FGeneration;
    if (FBytes.size() <= kThreadBytes) {
        FAnatomy = DecomposeMessage(FBytes);
        FWorking = false;
        Fill();
        FHeaders->setFocus();
        return;
    }
    // The worker reads its own copy: the window may get the next message meanwhile.
    FWorking = true;
    FAnatomy = TMessageAnatomy();
    Fill();
    auto Result = std::make_shared<TMessageAnatomy>();
    QThread* Worker = QThread::create([Result, Copy = FBytes] { *Result = DecomposeMessage(Copy); });
    connect(Worker, &QThread::finished, Worker, &QObject::deleteLater);
    connect(Worker, &QThread::finished, this, [this, Result, Generation] {
        if (Generation != FGeneration)
            return;
        FAnatomy = std::move(*Result);
        FWorking = false;
        Fill();
        if (isActiveWindow())
            FocusList(FTabs->currentIndex());
    });
    Worker->start();
}

void TMessageAnatomyWindow::ForgetLogLines()
{
    FLinesValid = false;
    ShowNotes();
}

void TMessageAnatomyWindow::Fill()
{
    for (QTreeWidget* Tree : { FHeaders, FRoute, FChecks, FParts })
        Tree->clear();
    FPartText->clear();
    for (QPlainTextEdit* Detail : FDetails)
        Detail->clear();
    FSaveButton->setEnabled(false);
    FTabs->setEnabled(!FWorking);
    ShowNotes();
    if (FWorking)
        return;
    FillHeaders();
    FillRoute();
    FillChecks();
    FillParts();
}

void TMessageAnatomyWindow::ShowNotes()
{
    QStringList Lines;
    if (FWorking) {
        FNotes->setText(QStringLiteral("Zerlegt ..."));
        return;
    }
    if (!FAnatomy.IsMessage)
        Lines << QStringLiteral("Das ist keine Nachricht: Es ließ sich kein Kopffeld lesen.");
    if (FCut)
        Lines << QStringLiteral("Die Nachricht war zu lang oder hatte überlange Zeilen; zerlegt ist nur, was davon "
                                "aufbewahrt wurde.");
    if (!FLinesValid)
        Lines << QStringLiteral("Das Protokoll wurde seither gelöscht oder war voll: Die Einträge führen nicht mehr "
                                "zu ihren Zeilen im Protokoll.");
    for (const TMessageProblem& Problem : FAnatomy.Problems)
        Lines << QStringLiteral("Problem: ") + RowText(Problem.Text);
    if (Lines.isEmpty())
        Lines << QStringLiteral("Keine Probleme gefunden. Ein Eintrag markiert seine Zeilen im Protokoll.");
    // Many problems stay readable: the first few, then a count.
    constexpr int Shown = 6;
    if (Lines.size() > Shown) {
        const qsizetype More = Lines.size() - Shown;
        Lines = Lines.mid(0, Shown);
        Lines << QStringLiteral("... und %1 weitere.").arg(More);
    }
    FNotes->setText(Lines.join(QLatin1Char('\n')));
}

QTreeWidgetItem* TMessageAnatomyWindow::Entry(
    QTreeWidget* Tree, const QStringList& Columns, const TMessageRange& Range, QTreeWidgetItem* Parent) const
{
    auto* Item = Parent ? new QTreeWidgetItem(Parent, Columns) : new QTreeWidgetItem(Tree, Columns);
    Item->setData(0, kFirstLineRole, static_cast<qlonglong>(Range.FirstLine));
    Item->setData(0, kLastLineRole, static_cast<qlonglong>(Range.LastLine));
    for (int Column = 0; Column < Columns.size(); ++Column)
        Item->setToolTip(Column, Columns[Column].left(500));
    return Item;
}

void TMessageAnatomyWindow::FillHeaders()
{
    for (const THeaderField& Field : FAnatomy.Headers) {
        QStringList Charsets;
        for (const std::string& Charset : Field.Charsets)
            Charsets << FromUtf8(Charset);
        QTreeWidgetItem* Item = Entry(FHeaders,
            { FromUtf8(Field.Name), RowText(Field.Value), Charsets.join(QStringLiteral(", ")),
                FromUtf8(Field.Explanation) },
            Field.Range);
        QString Detail = FromUtf8(Field.Name) + QStringLiteral(": ") + FromUtf8(Field.Value) + QStringLiteral("\n\n")
            + FromUtf8(Field.Explanation);
        if (!Charsets.isEmpty())
            Detail += QStringLiteral("\nZeichensätze der kodierten Wörter: ") + Charsets.join(QStringLiteral(", "));
        // As written only when decoding or unfolding changed it.
        const QString Raw = FromUtf8(Field.Raw.substr(0, 64 * 1024)).trimmed();
        if (Raw != FromUtf8(Field.Value))
            Detail += QStringLiteral("\n\nWie geschrieben:\n") + Raw;
        Item->setData(0, kDetailRole, Detail);
    }
    FitColumns(FHeaders, fontMetrics().averageCharWidth() * 60);
}

void TMessageAnatomyWindow::FillRoute()
{
    int Step = 0;
    for (const TReceivedHop& Hop : FAnatomy.Received) {
        const QString With = FromUtf8(Hop.With) + (Hop.Tls ? QStringLiteral(" (mit TLS)") : QString());
        const QString Waited = Hop.DelaySeconds ? Delay(*Hop.DelaySeconds) : QString();
        QTreeWidgetItem* Item = Entry(FRoute,
            { QString::number(++Step), FromUtf8(Hop.Time), Waited, RowText(Hop.From), RowText(Hop.By), With,
                RowText(Hop.Id), RowText(Hop.For), FromUtf8(Hop.Note) },
            Hop.Range);
        QStringList Detail;
        const std::pair<const char*, QString> Lines[] = { { "Von (from)", FromUtf8(Hop.From) },
            { "Durch (by)", FromUtf8(Hop.By) }, { "Über (via)", FromUtf8(Hop.Via) }, { "Mit (with)", With },
            { "Kennung (id)", FromUtf8(Hop.Id) }, { "Für (for)", FromUtf8(Hop.For) }, { "Zeit", FromUtf8(Hop.Time) },
            { "Verzögerung seit dem Schritt davor", Waited }, { "Hinweis", FromUtf8(Hop.Note) } };
        for (const auto& [Label, Value] : Lines) {
            if (!Value.isEmpty())
                Detail << QString::fromUtf8(Label) + QStringLiteral(": ") + Value;
        }
        Item->setData(0, kDetailRole, Detail.join(QLatin1Char('\n')));
    }
    if (FAnatomy.Received.empty())
        Placeholder(FRoute, QStringLiteral("Die Nachricht hat keine Received-Felder."));
    FitColumns(FRoute, fontMetrics().averageCharWidth() * 40);
}

void TMessageAnatomyWindow::FillChecks()
{
    for (const TAuthResult& Result : FAnatomy.AuthenticationResults) {
        QStringList Properties;
        for (const auto& [Name, Value] : Result.Properties)
            Properties << FromUtf8(Name) + QLatin1Char('=') + FromUtf8(Value);
        QString From = FromUtf8(Result.AuthServId);
        if (Result.Topmost)
            From += QStringLiteral(" (oberstes Feld)");
        QTreeWidgetItem* Item = Entry(FChecks,
            { FromUtf8(Result.Method), FromUtf8(Result.Result), From, FromUtf8(Result.Explanation),
                Properties.join(QStringLiteral("; ")) },
            Result.Range);
        Item->setData(0, kDetailRole,
            FromUtf8(Result.Method) + QLatin1Char('=') + FromUtf8(Result.Result) + QStringLiteral(", geprüft von ")
                + From + QStringLiteral("\n\n") + FromUtf8(Result.Explanation) + QStringLiteral("\n\n")
                + Properties.join(QLatin1Char('\n')));
    }
    int Number = 0;
    for (const TDkimSignature& Signature : FAnatomy.DkimSignatures) {
        QTreeWidgetItem* Head = Entry(FChecks, { QStringLiteral("DKIM-Signatur %1").arg(++Number) }, Signature.Range);
        Head->setData(0, kDetailRole,
            QStringLiteral("Ein DKIM-Signature-Feld: Die Domain unter d= unterschreibt die unter h= genannten "
                           "Kopffelder und den Inhalt. Ob die Signatur stimmt, steht im Ergebnis dkim= oben."));
        for (const TDkimTag& Tag : Signature.Tags)
            Entry(FChecks,
                { FromUtf8(Tag.Tag) + QLatin1Char('='), RowText(Tag.Value), QString(), FromUtf8(Tag.Explanation) },
                Signature.Range, Head)
                ->setData(0, kDetailRole,
                    FromUtf8(Tag.Tag) + QLatin1Char('=') + FromUtf8(Tag.Value) + QStringLiteral("\n\n")
                        + FromUtf8(Tag.Explanation));
        Head->setExpanded(true);
    }
    if (FAnatomy.AuthenticationResults.empty() && FAnatomy.DkimSignatures.empty())
        Placeholder(FChecks,
            QStringLiteral("Die Nachricht hat keine Authentication-Results- und keine "
                           "DKIM-Signature-Felder."));
    FitColumns(FChecks, fontMetrics().averageCharWidth() * 40);
}

void TMessageAnatomyWindow::FillParts()
{
    std::vector<QTreeWidgetItem*> Parents;
    for (size_t Index = 0; Index < FAnatomy.Parts.size(); ++Index) {
        const TMimePart& Part = FAnatomy.Parts[Index];
        Parents.resize(static_cast<size_t>(Part.Depth));
        QTreeWidgetItem* Parent = Parents.empty() ? nullptr : Parents.back();
        QTreeWidgetItem* Item = Entry(FParts,
            { FromUtf8(Part.Path), FromUtf8(Part.ContentType), FromUtf8(Part.Charset), FromUtf8(Part.TransferEncoding),
                FromUtf8(Part.Disposition), FromUtf8(Part.FileName),
                Part.Container ? QString() : Bytes(Part.SizeEncoded),
                Part.Container ? QString() : Bytes(Part.SizeDecoded) },
            Part.Range, Parent);
        Item->setData(0, kIndexRole, static_cast<qulonglong>(Index));
        Item->setExpanded(true);
        Parents.push_back(Item);
    }
    FitColumns(FParts, fontMetrics().averageCharWidth() * 30);
}

void TMessageAnatomyWindow::ItemChosen(QTreeWidgetItem* Item)
{
    if (!Item || !FLinesValid || !FSelectLogLines || !Item->data(0, kFirstLineRole).isValid())
        return;
    const qint64 First = Item->data(0, kFirstLineRole).toLongLong();
    const qint64 Last = Item->data(0, kLastLineRole).toLongLong();
    FSelectLogLines(FFirstLogLine + First, FFirstLogLine + Last);
}

void TMessageAnatomyWindow::FocusList(int Tab)
{
    QTreeWidget* const Trees[] = { FHeaders, FRoute, FChecks, FParts };
    if (Tab >= 0 && Tab < 4)
        Trees[Tab]->setFocus();
}

const TMimePart* TMessageAnatomyWindow::PartOf(const QTreeWidgetItem* Item) const
{
    if (!Item)
        return nullptr;
    const size_t Index = Item->data(0, kIndexRole).toULongLong();
    return Index < FAnatomy.Parts.size() ? &FAnatomy.Parts[Index] : nullptr;
}

void TMessageAnatomyWindow::PartChosen(QTreeWidgetItem* Item)
{
    FPartText->clear();
    FSaveButton->setEnabled(false);
    const TMimePart* Chosen = PartOf(Item);
    if (!Chosen)
        return;
    const TMimePart& Part = *Chosen;
    FSaveButton->setEnabled(!Part.Container);
    if (Part.Container)
        FPartText->setPlainText(QStringLiteral("(ein Behälter: seine Teile stehen darunter)"));
    else if (Part.IsText)
        // HTML as its source: nothing is rendered, nothing fetched.
        FPartText->setPlainText(FromUtf8(Part.Text));
    else
        FPartText->setPlainText(
            QStringLiteral("(kein Text: %1 dekodiert; mit \"Speichern unter ...\" als Datei sichern)")
                .arg(Bytes(Part.SizeDecoded)));
}

void TMessageAnatomyWindow::SavePart()
{
    const TMimePart* Chosen = PartOf(FParts->currentItem());
    if (!Chosen)
        return;
    const TMimePart& Part = *Chosen;
    QFileDialog Dialog(this);
    Dialog.setWindowTitle(QStringLiteral("Brieflotse - Speichern unter"));
    Dialog.setAcceptMode(QFileDialog::AcceptSave);
    Dialog.setFileMode(QFileDialog::AnyFile);
    Dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    if (!FSaveFolder.isEmpty())
        Dialog.setDirectory(FSaveFolder);
    // Only the name's last piece: a file name from a message never picks the folder.
    QString Name = QFileInfo(FromUtf8(Part.FileName)).fileName();
    if (Name.isEmpty() || Name == QLatin1String("..") || Name == QLatin1String("."))
        Name = QStringLiteral("teil-") + FromUtf8(Part.Path) + QStringLiteral(".bin");
    Dialog.selectFile(Name);
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
        return;
    const QString Path = Dialog.selectedFiles().constFirst();
    FSaveFolder = QFileInfo(Path).absolutePath();
    const std::string Content = DecodedPartContent(FBytes, Part);
    const QString Problem = WriteFileSafely(Path, QByteArray(Content.data(), static_cast<qsizetype>(Content.size())));
    if (!Problem.isEmpty())
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Speichern unter"), Problem);
}
