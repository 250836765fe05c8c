#include "dialogs/MessageAnatomyWindow.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "dialogs/MessageBox.h"
#include "message/PartContent.h"
#include "protocollog/LogSaver.h"

namespace {

constexpr int kFirstLineRole = Qt::UserRole;
constexpr int kLastLineRole = Qt::UserRole + 1;
constexpr int kIndexRole = Qt::UserRole + 2; // a part's index in TMessageAnatomy::Parts

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
    FTabs->addTab(FHeaders, QStringLiteral("&Kopf"));

    FRoute = NewTree(this, "Route",
        { QStringLiteral("Schritt"), QStringLiteral("Zeit"), QStringLiteral("Verzögerung"), QStringLiteral("Von"),
            QStringLiteral("Durch"), QStringLiteral("Mit"), QStringLiteral("Kennung"), QStringLiteral("Für"),
            QStringLiteral("Hinweis") });
    FRoute->setRootIsDecorated(false);
    FTabs->addTab(FRoute, QStringLiteral("&Weg"));

    auto* Checks = new QWidget(this);
    FTrustNote = new QLabel(QStringLiteral("Nur dem obersten Authentication-Results-Feld kann man trauen: Es stammt "
                                           "vom eigenen Anbieter, der die Nachricht zuletzt angenommen hat. Tiefere "
                                           "Felder kann jeder Absender oder Zwischenserver hineinschreiben."),
        Checks);
    FTrustNote->setWordWrap(true);
    FChecks = NewTree(Checks, "Checks",
        { QStringLiteral("Prüfung"), QStringLiteral("Ergebnis"), QStringLiteral("Geprüft von"),
            QStringLiteral("Erklärung"), QStringLiteral("Angaben") });
    auto* ChecksLayout = new QVBoxLayout(Checks);
    ChecksLayout->addWidget(FTrustNote);
    ChecksLayout->addWidget(FChecks, 1);
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
    FPartText->setLineWrapMode(QPlainTextEdit::NoWrap);
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
    connect(FParts, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* Item) { PartChosen(Item); });
    // A tab chosen by its access key puts the keys into its list at once.
    connect(FTabs, &QTabWidget::currentChanged, this, [this](int Index) {
        QTreeWidget* Trees[] = { FHeaders, FRoute, FChecks, FParts };
        if (Index >= 0 && Index < 4)
            Trees[Index]->setFocus();
    });

    auto* Layout = new QVBoxLayout(this);
    Layout->addWidget(FNotes);
    Layout->addWidget(FTabs, 1);
    const int Unit = fontMetrics().averageCharWidth();
    resize(Unit * 130, fontMetrics().lineSpacing() * 36);
}

TMessageAnatomyWindow::~TMessageAnatomyWindow() = default;

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
    constexpr int kShown = 6;
    if (Lines.size() > kShown) {
        const qsizetype More = Lines.size() - kShown;
        Lines = Lines.mid(0, kShown);
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
        Entry(FHeaders,
            { FromUtf8(Field.Name), RowText(Field.Value), Charsets.join(QStringLiteral(", ")),
                FromUtf8(Field.Explanation) },
            Field.Range);
    }
    FitColumns(FHeaders, fontMetrics().averageCharWidth() * 60);
}

void TMessageAnatomyWindow::FillRoute()
{
    int Step = 0;
    for (const TReceivedHop& Hop : FAnatomy.Received) {
        const QString With = FromUtf8(Hop.With) + (Hop.Tls ? QStringLiteral(" (mit TLS)") : QString());
        Entry(FRoute,
            { QString::number(++Step), FromUtf8(Hop.Time), Hop.DelaySeconds ? Delay(*Hop.DelaySeconds) : QString(),
                RowText(Hop.From), RowText(Hop.By), With, RowText(Hop.Id), RowText(Hop.For), FromUtf8(Hop.Note) },
            Hop.Range);
    }
    if (FAnatomy.Received.empty())
        new QTreeWidgetItem(FRoute, { QString(), QString(), QString(), QStringLiteral("(keine Received-Felder)") });
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
        Entry(FChecks,
            { FromUtf8(Result.Method), FromUtf8(Result.Result), From, FromUtf8(Result.Explanation),
                Properties.join(QStringLiteral("; ")) },
            Result.Range);
    }
    int Number = 0;
    for (const TDkimSignature& Signature : FAnatomy.DkimSignatures) {
        QTreeWidgetItem* Head = Entry(FChecks, { QStringLiteral("DKIM-Signatur %1").arg(++Number) }, Signature.Range);
        for (const TDkimTag& Tag : Signature.Tags)
            Entry(FChecks,
                { FromUtf8(Tag.Tag) + QLatin1Char('='), RowText(Tag.Value), QString(), FromUtf8(Tag.Explanation) },
                Signature.Range, Head);
        Head->setExpanded(true);
    }
    if (FAnatomy.AuthenticationResults.empty() && FAnatomy.DkimSignatures.empty())
        new QTreeWidgetItem(FChecks, { QStringLiteral("(keine Authentication-Results- und DKIM-Signature-Felder)") });
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

void TMessageAnatomyWindow::PartChosen(QTreeWidgetItem* Item)
{
    FPartText->clear();
    FSaveButton->setEnabled(false);
    if (!Item)
        return;
    const size_t Index = Item->data(0, kIndexRole).toULongLong();
    if (Index >= FAnatomy.Parts.size())
        return;
    const TMimePart& Part = FAnatomy.Parts[Index];
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
    QTreeWidgetItem* Item = FParts->currentItem();
    if (!Item)
        return;
    const size_t Index = Item->data(0, kIndexRole).toULongLong();
    if (Index >= FAnatomy.Parts.size())
        return;
    const TMimePart& Part = FAnatomy.Parts[Index];
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
