#pragma once

// Writer of the protocol log: every command as sent and every byte received,
// one log line per protocol line, told apart by colour and bold type only.
// The window owns the TLogView and hands it over; the writer fills the view's
// store and never sets a font face (the window switches it).

#include <string>

#include <QColor>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

class QPalette;
class TLogView;

// Fixed = "&Grün"/"&Blau"/"&Rot"/"&Aus": ServerColor stays as chosen.
enum class TColorMode { Status, Connection, Fixed };

class TProtocolLog {
public:
    explicit TProtocolLog(TLogView* View);
    ~TProtocolLog();

    TProtocolLog(const TProtocolLog&) = delete;
    TProtocolLog& operator=(const TProtocolLog&) = delete;

    void SetColorMode(TColorMode Mode) { FColorMode = Mode; }
    TColorMode ColorMode() const { return FColorMode; }

    // 1 green, 2 navy, 3 red, 4 window text.
    int ServerColor() const { return FServerColor; }
    void SetServerColor(int Index);
    // Next connection's colour: 1, 2, 3, 1, ... (4 starts over at 1).
    void AdvanceServerColor();

    void SetCommandBold(bool On) { FCommandBold = On; }
    void SetStatusBold(bool On) { FStatusBold = On; }

    void AppendToLog(const std::string& Text, bool IsServer, bool IsBody);
    // A line of the program's own (UTF-8), in grey: not protocol text.
    void AppendNote(const std::string& Text);
    bool HasLines() const;
    // The log keeps at most this many characters of protocol text, so that
    // its memory stays bounded whatever a server sends (about one byte per
    // character and four per line: a message of 500 MB fits whole).
    static constexpr qint64 kMaxCharacters = qint64(600) * 1024 * 1024;
    bool HasRoom() const { return FCharacters < FMaxCharacters; }
    void SetMaxCharacters(qint64 Count) { FMaxCharacters = Count; } // tests
    void Clear();

    static QColor TableColor(int Index, const QPalette& Palette);

private:
    void SuspendRepaint();
    // HoldBack: a body chunk within the repaint pause; the timer resumes later.
    void ResumeRepaint(bool HoldBack);

    TLogView* FView;
    // Owned by the view; the view may go first when the window closes.
    QPointer<QTimer> FResumeTimer;
    QElapsedTimer FSinceRepaint;
    TColorMode FColorMode = TColorMode::Status;
    int FServerColor = 1;
    bool FCommandBold = true;
    bool FStatusBold = true;
    qint64 FCharacters = 0;
    qint64 FMaxCharacters = kMaxCharacters;
};
