#pragma once

// A conversation view that records what the conversation shows, with a real
// protocol log underneath so that tests read the log as the user would.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "conversation/ConversationView.h"
#include "protocollog/LogView.h"
#include "protocollog/ProtocolLog.h"

// Protocol text goes to the real log, the program's own notes to a list of
// their own, so tests read each without the other.
class TRecordingLog : public TLogSink {
public:
    TRecordingLog(TProtocolLog& Log, std::vector<std::string>& Notes)
        : FLog(Log)
        , FNotes(Notes)
    {
    }
    void Append(TLogEntryKind Kind, const std::string& Text) override
    {
        if (Kind == TLogEntryKind::Note || Kind == TLogEntryKind::Tls)
            FNotes.push_back(Text);
        else
            FLog.Append(Kind, Text);
    }
    bool HasLines() const override { return FLog.HasLines(); }
    bool HasRoom() const override { return FLog.HasRoom(); }
    void Clear() override { FLog.Clear(); }
    void StartConnection() override { FLog.StartConnection(); }

private:
    TProtocolLog& FLog;
    std::vector<std::string>& FNotes;
};

class TRecordingView : public TConversationView {
public:
    TConversationOptions Opts;
    TLogView Edit;
    TProtocolLog Log { &Edit };
    std::vector<std::string> Notes;
    TRecordingLog Recorder { Log, Notes };

    TStatusPicture Picture = TStatusPicture::Offline;
    std::string Title;
    std::string StatusText;
    std::vector<std::string> StatusTexts;
    int64_t Sent = -1;
    int64_t Received = -1;
    bool Connected = false;
    std::string Focus;
    bool BusyCursor = false;
    std::string Guidance;
    bool GuidanceIsError = false;
    std::vector<std::string> Hosts;
    std::vector<std::string> Commands;
    std::vector<std::pair<std::string, std::string>> Questions;
    bool Answer = false;

    TConversationOptions Options() const override { return Opts; }
    void ShowStatusPicture(TStatusPicture P) override { Picture = P; }
    void ShowWindowTitle(const std::string& T) override { Title = T; }
    void ShowStatusText(const std::string& T) override
    {
        StatusText = T;
        StatusTexts.push_back(T);
    }
    void ShowByteCounters(int64_t S, int64_t R) override
    {
        Sent = S;
        Received = R;
    }
    void SetConnectedState(bool C) override
    {
        Connected = C;
        Focus = C ? "command" : "host";
    }
    bool CommandFieldEnabled() const override { return Connected; }
    void FocusCommandField() override { Focus = "command"; }
    void FocusHostField() override { Focus = "host"; }
    void SetBusyCursor(bool B) override { BusyCursor = B; }
    // What the status line said while the certificate was being decided on.
    std::string TitleAtCertificate;
    std::string StatusAtCertificate;
    bool AcceptCertificate(const TTlsInfo& Info, const std::string& Target) override
    {
        TitleAtCertificate = Title;
        StatusAtCertificate = StatusText;
        return TConversationView::AcceptCertificate(Info, Target);
    }
    void ShowGuidanceText(const std::string& Text, bool IsError) override
    {
        Guidance = Text;
        GuidanceIsError = IsError;
    }
    void AddHostToHistory(const std::string& Host) override { Hosts.push_back(Host); }
    void AddCommandToHistory(const std::string& Line) override { Commands.push_back(Line); }
    bool AskYesNo(const std::string& T, const std::string& Text) override
    {
        Questions.emplace_back(T, Text);
        return Answer;
    }

    std::vector<std::string> LogLines() const
    {
        std::vector<std::string> Lines;
        if (!Log.HasLines())
            return Lines;
        // A lone CR or LF is a line break within its log line.
        for (size_t Line = 0; Line < Edit.Store().LineCount(); ++Line)
            Lines.push_back(Edit.LineText(static_cast<qint64>(Line))
                                .replace(QLatin1Char('\r'), QChar::LineSeparator)
                                .replace(QLatin1Char('\n'), QChar::LineSeparator)
                                .toStdString());
        return Lines;
    }
};
