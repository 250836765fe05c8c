// The transcript file: what the writer puts down the reader gets back byte
// for byte, and each kind of damage is named with its line.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "transcript/TranscriptFormat.h"

namespace {

const std::string kHeader = "{\"type\":\"brieflotse-transcript\",\"format\":1,\"program\":\"Brieflotse 1.0\","
                            "\"started\":\"2026-12-08T00:12:00.123456Z\",\"redacted\":true}\n";

std::string AllBytes()
{
    std::string Bytes;
    for (int Value = 0; Value < 256; ++Value)
        Bytes += static_cast<char>(Value);
    return Bytes;
}

TEST(TranscriptFormat, RoundTripKeepsEveryByteAndField)
{
    std::vector<TTranscriptEvent> Events(6);
    Events[0].Kind = TTranscriptKind::Received;
    Events[0].Bytes = AllBytes();
    Events[0].Micros = 17;
    Events[1].Kind = TTranscriptKind::Sent;
    Events[1].Bytes = "PASS geheim\r\n";
    Events[1].SecretStart = 5;
    Events[1].Connection = 2;
    Events[2].Kind = TTranscriptKind::Guidance;
    Events[2].Text = "Überschrift\nText mit \"Zitat\" und \U0001F600";
    Events[3].Kind = TTranscriptKind::Tls;
    Events[3].Text = "TLSv1.3";
    Events[4].Kind = TTranscriptKind::Omitted;
    Events[4].OmittedEvents = 12;
    Events[4].OmittedBytes = 123456789012;
    Events[5].Kind = TTranscriptKind::Note;
    Events[5].Text = "Verbindung getrennt.";

    std::stringstream File;
    TTranscriptWriter Writer(File);
    TTranscriptHeader Header;
    Header.Program = "Brieflotse 1.0";
    Header.Started = TranscriptTimestamp(1796688720123456);
    Header.Redacted = false;
    Writer.WriteHeader(Header);
    for (const TTranscriptEvent& Event : Events)
        Writer.Write(Event);
    ASSERT_TRUE(Writer.Ok());

    TTranscriptReader Reader;
    ASSERT_TRUE(Reader.Open(File)) << Reader.Error();
    EXPECT_EQ(Reader.Header().Program, "Brieflotse 1.0");
    EXPECT_EQ(Reader.Header().Started, "2026-12-08T00:12:00.123456Z");
    EXPECT_FALSE(Reader.Header().Redacted);
    TTranscriptEvent Read;
    for (const TTranscriptEvent& Event : Events) {
        ASSERT_TRUE(Reader.Next(Read)) << Reader.Error();
        EXPECT_EQ(Read.Kind, Event.Kind);
        EXPECT_EQ(Read.Micros, Event.Micros);
        EXPECT_EQ(Read.Connection, Event.Connection);
        EXPECT_EQ(Read.Bytes, Event.Bytes);
        EXPECT_EQ(Read.Text, Event.Text);
        EXPECT_EQ(Read.SecretStart, Event.SecretStart);
        EXPECT_EQ(Read.OmittedEvents, Event.OmittedEvents);
        EXPECT_EQ(Read.OmittedBytes, Event.OmittedBytes);
    }
    EXPECT_FALSE(Reader.Next(Read));
    EXPECT_EQ(Reader.Error(), "");
}

TEST(TranscriptFormat, RedactionMasksTheSecretUpToTheLineEnd)
{
    TTranscriptEvent Event;
    Event.Kind = TTranscriptKind::Sent;
    Event.Bytes = "AUTH PLAIN AGFubmEAZ2VoZWlt\r\nSTAT\r\n";
    Event.SecretStart = 11;
    EXPECT_EQ(TranscriptEventLine(Event, true),
        "{\"t\":0,\"conn\":1,\"kind\":\"sent\",\"bytes\":\"AUTH PLAIN ********\\r\\nSTAT\\r\\n\","
        "\"secret\":11,\"redacted\":true}\n");
    EXPECT_NE(TranscriptEventLine(Event, false).find("AGFubmEAZ2VoZWlt"), std::string::npos);
}

struct TDamage {
    const char* Name;
    std::string File;
    const char* Error;
};

TEST(TranscriptFormat, ReaderNamesEachDamageWithItsLine)
{
    const std::string Good = "{\"t\":1,\"conn\":1,\"kind\":\"note\",\"text\":\"a\"}\n";
    const std::vector<TDamage> Cases = {
        { "empty file", "", "Zeile 1: Datei ist leer, die Kopfzeile fehlt" },
        { "no header", Good, "Zeile 1: kein Brieflotse-Mitschnitt (Kopfzeile fehlt)" },
        { "newer format", "{\"type\":\"brieflotse-transcript\",\"format\":2}\n",
            "Zeile 1: Format 2 wird nicht verstanden (bekannt: 1)" },
        { "malformed", kHeader + Good + "{\"t\":1,\"conn\":1,\"kind\":\"note\",\"text\":\"a\"\n",
            "Zeile 3: kein gültiges JSON bei Zeichen 41: \",\" oder \"}\" erwartet" },
        { "unknown kind", kHeader + Good + Good + "{\"t\":1,\"conn\":1,\"kind\":\"foo\",\"text\":\"a\"}\n",
            "Zeile 4: unbekannte Art \"foo\"" },
        { "wide escape in bytes", kHeader + "{\"t\":1,\"conn\":1,\"kind\":\"sent\",\"bytes\":\"\\u0100\"}\n",
            "Zeile 2: Escape \\u0100 in \"bytes\" (erlaubt bis \\u00FF)" },
        { "raw byte in bytes", kHeader + "{\"t\":1,\"conn\":1,\"kind\":\"received\",\"bytes\":\"\xC3\xA4\"}\n",
            "Zeile 2: Byte 0xC3 roh in \"bytes\" (erlaubt ist nur \\u00XX)" },
        { "unknown escape", kHeader + "{\"t\":1,\"conn\":1,\"kind\":\"sent\",\"bytes\":\"\\x41\"}\n",
            "Zeile 2: unzulässiges Escape \\x in \"bytes\"" },
        { "missing bytes", kHeader + "{\"t\":1,\"conn\":1,\"kind\":\"sent\",\"text\":\"x\"}\n",
            "Zeile 2: Feld \"bytes\" fehlt" },
        { "missing time", kHeader + "{\"conn\":1,\"kind\":\"note\",\"text\":\"x\"}\n", "Zeile 2: Feld \"t\" fehlt" },
        { "fraction", kHeader + "{\"t\":1.5,\"conn\":1,\"kind\":\"note\",\"text\":\"x\"}\n",
            "Zeile 2: kein gültiges JSON bei Zeichen 7: Wert erwartet (Zeichenkette, ganze Zahl, true oder false)" },
        { "secret past the end", kHeader + "{\"t\":1,\"conn\":1,\"kind\":\"sent\",\"bytes\":\"PASS\",\"secret\":9}\n",
            "Zeile 2: Feld \"secret\" zeigt hinter das Ende von \"bytes\"" },
        { "over-long line",
            kHeader + Good + "{\"t\":1,\"conn\":1,\"kind\":\"note\",\"text\":\"" + std::string(300, 'x'),
            "Zeile 3: Zeile ist länger als 256 Bytes" },
    };
    for (const TDamage& Case : Cases) {
        std::istringstream File(Case.File);
        TTranscriptReader Reader(256);
        TTranscriptEvent Event;
        if (Reader.Open(File))
            while (Reader.Next(Event)) { }
        EXPECT_EQ(Reader.Error(), Case.Error) << Case.Name;
    }
}

} // namespace
