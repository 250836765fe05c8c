#pragma once

// "Nachricht zerlegen": what the last retrieved message is made of, in four
// tabs (Kopf, Weg, Prüfungen, Aufbau) and a line of problems at the top.
// Each item leads back to its lines in the protocol log through a callback,
// so the window knows nothing of the main window. Large messages are taken
// apart on a worker thread.

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "message/MessageAnatomy.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

class TMessageAnatomyWindow : public QWidget {
    Q_OBJECT

public:
    // SelectLogLines(First, Last) selects those lines of the log (0-based,
    // Last inclusive) and scrolls there.
    using TSelectLines = std::function<void(qint64 First, qint64 Last)>;
    TMessageAnatomyWindow(TSelectLines SelectLogLines, QWidget* Parent);
    ~TMessageAnatomyWindow() override;

    // The message's bytes (dot-stuffing undone); its first line is log line
    // FirstLogLine while LinesValid.
    void ShowMessage(std::string Bytes, bool Cut, bool LinesValid, qint64 FirstLogLine);
    // The log was cleared: items no longer select anything.
    void ForgetLogLines();

    // Above this size the message is taken apart on a worker thread.
    static constexpr size_t kThreadBytes = size_t(1) << 20;

protected:
    void showEvent(QShowEvent* Event) override;

private:
    void Fill();
    void FillHeaders();
    void FillRoute();
    void FillChecks();
    void FillParts();
    void ShowNotes();
    void ItemChosen(QTreeWidgetItem* Item);
    void PartChosen(QTreeWidgetItem* Item);
    void FocusList(int Tab); // the list of that tab takes the keys
    const TMimePart* PartOf(const QTreeWidgetItem* Item) const;
    void SavePart();
    QTreeWidgetItem* Entry(QTreeWidget* Tree, const QStringList& Columns, const TMessageRange& Range,
        QTreeWidgetItem* Parent = nullptr) const;

    TSelectLines FSelectLogLines;
    QLabel* FNotes;
    QTabWidget* FTabs;
    QTreeWidget* FHeaders;
    QTreeWidget* FRoute;
    QLabel* FTrustNote;
    QTreeWidget* FChecks;
    QTreeWidget* FParts;
    QPlainTextEdit* FPartText;
    QPlainTextEdit* FDetails[3]; // below Kopf, Weg and Prüfungen: the chosen item in full
    QPushButton* FSaveButton;
    std::string FBytes;
    TMessageAnatomy FAnatomy;
    bool FCut = false;
    bool FLinesValid = false;
    bool FWorking = false;
    qint64 FFirstLogLine = 0;
    unsigned FGeneration = 0; // of the message shown; a late worker's result for an older one is dropped
    QString FSaveFolder;
    bool FPlaced = false;
};
