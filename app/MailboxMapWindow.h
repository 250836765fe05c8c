#pragma once

// "Postfach-Übersicht": a window of its own with one row per message (LIST,
// UIDL and the header block of TOP n 0, each through the conversation and
// so through the log). A row's double-click or Enter asks for RETR n; DELE
// and RSET sent later in the main window mark and unmark rows. The last map
// of each server is kept while the program runs, so that a map built in a
// later session is matched to it by UIDL.

#include <QWidget>
#include <string>
#include <vector>

#include "message/MailboxMap.h"

class QLabel;
class QTableWidget;
class TPOP3Conversation;
class TWaitInputGuard;

class TMailboxMapWindow : public QWidget {
    Q_OBJECT

public:
    TMailboxMapWindow(TPOP3Conversation& Conversation, TWaitInputGuard& Guard, QWidget* Parent);
    ~TMailboxMapWindow() override;

    // Runs the commands and fills the table; AskFirst: a question before
    // more than 100 messages. False when the map was not built (no
    // connection, LIST refused, stopped).
    bool Build(bool AskFirst = true);
    const std::vector<TMailboxRow>& Rows() const { return FRows; }
    // How the headers were asked for: several TOP in one write, or one by one.
    bool Pipelined() const { return FPipelined; }

signals:
    void RetrieveRequested(int Number);

private:
    void Fill();
    void FollowReply(const std::string& Word, int Number, const std::string& Reply);
    std::string ServerKey() const;

    TPOP3Conversation& FConversation;
    TWaitInputGuard& FGuard;
    QTableWidget* FTable = nullptr;
    QLabel* FSummary = nullptr;
    std::vector<TMailboxRow> FRows;
    std::string FKey; // the server the rows belong to
    bool FPipelined = false;
};
