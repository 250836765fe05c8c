#pragma once

// Writer of the protocol log: every command as sent and every byte received,
// one log line per protocol line, told apart by colour and bold type only.
// The window owns the TLogView and hands it over; the writer fills the view's
// store by the kind of each entry and never sets a font face (the window
// switches it).

#include <string>

#include <QColor>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "conversation/LogSink.h"

class QPalette;
class TLogView;

// Fixed = "&Grün"/"&Blau"/"&Rot"/"&Aus": ServerColor stays as chosen.
enum class TColorMode { Status, Connection, Fixed };

// The colours of server text. The numbers are those of the colour menu's
// entries and of the stored setting "ColorValue".
enum class TLogColour { Green = 1, Navy = 2, Red = 3, WindowText = 4 };

// The colour a server's text takes when coloured by status: positive status
// lines and continuations green, bodies navy, everything else red.
TLogColour StatusColour(TLogEntryKind Kind, const std::string& Text);

class TProtocolLog : public QObject, public TLogSink {
    Q_OBJECT

public:
    explicit TProtocolLog(TLogView* View);
    ~TProtocolLog() override;

    TProtocolLog(const TProtocolLog&) = delete;
    TProtocolLog& operator=(const TProtocolLog&) = delete;

    void SetColorMode(TColorMode Mode) { FColorMode = Mode; }
    TColorMode ColorMode() const { return FColorMode; }

    TLogColour ServerColor() const { return FServerColor; }
    void SetServerColor(TLogColour Colour) { FServerColor = Colour; }
    // Next connection's colour: green, navy, red, green, ... (window text starts over at green).
    void AdvanceServerColor();

    void SetCommandBold(bool On) { FCommandBold = On; }
    void SetStatusBold(bool On) { FStatusBold = On; }

    // Commands and answers in the window's text colour, server text in the
    // server colour, notes (UTF-8) in grey.
    void Append(TLogEntryKind Kind, const std::string& Text) override;
    bool HasLines() const override;
    // The log keeps at most this many characters of protocol text, so that
    // its memory stays bounded whatever a server sends (about one byte per
    // character and four per line: a message of 500 MB fits whole).
    static constexpr qint64 kMaxCharacters = qint64(600) * 1024 * 1024;
    bool HasRoom() const override { return FCharacters < FMaxCharacters; }
    void SetMaxCharacters(qint64 Count) { FMaxCharacters = Count; } // tests
    void Clear() override;
    size_t LineCount() const override;
    // An empty line after the last connection's; coloured by connection, the next colour.
    void StartConnection() override;

    static QColor TableColor(TLogColour Colour, const QPalette& Palette);

signals:
    // The log went from empty to holding lines, or back (saving and printing follow it).
    void HasLinesChanged(bool HasLines);

private:
    void AppendNote(const std::string& Text);
    void AppendProtocolText(TLogEntryKind Kind, const std::string& Text);
    void NoteWhetherEmpty();

    void SuspendRepaint();
    // HoldBack: a body chunk within the repaint pause; the timer resumes later.
    void ResumeRepaint(bool HoldBack);

    TLogView* FView;
    // Owned by the view; the view may go first when the window closes.
    QPointer<QTimer> FResumeTimer;
    QElapsedTimer FSinceRepaint;
    TColorMode FColorMode = TColorMode::Status;
    TLogColour FServerColor = TLogColour::Green;
    bool FHadLines = false;
    bool FCommandBold = true;
    bool FStatusBold = true;
    qint64 FCharacters = 0;
    qint64 FMaxCharacters = kMaxCharacters;
};
