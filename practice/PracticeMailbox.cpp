#include "practice/PracticeMailbox.h"

#include <cstdio>

namespace {

// The texts below are written with plain line ends; on the wire every line
// ends in CR LF.
std::string WithCrLf(const char* Text)
{
    std::string Result;
    for (const char* Each = Text; *Each; ++Each) {
        if (*Each == '\n')
            Result += '\r';
        Result += *Each;
    }
    return Result;
}

const char* const kShortMail = R"(Return-Path: <lotsin@brieflotse.example>
From: Lotsin <lotsin@brieflotse.example>
To: Lotse <lotse@brieflotse.example>
Subject: Willkommen auf dem Uebungs-Server
Date: Mon, 07 Dec 2026 09:00:00 +0100
Message-ID: <uebung-1@brieflotse.example>
MIME-Version: 1.0
Content-Type: text/plain; charset=us-ascii
Content-Transfer-Encoding: 7bit

Hallo Lotse,

dies ist die erste Nachricht in Ihrer Uebungs-Mailbox. Sie besteht nur aus
Kopfzeilen, einer Leerzeile und diesem kurzen Text.

Probieren Sie ruhig alles aus: DELE loescht hier nichts Echtes, und jede neue
Verbindung beginnt wieder mit denselben sechs Nachrichten.

Gute Fahrt!
Ihre Lotsin
)";

const char* const kUmlautMail = R"(Return-Path: <lotsin@brieflotse.example>
From: Lotsin <lotsin@brieflotse.example>
To: Lotse <lotse@brieflotse.example>
Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe_mit_Umlauten?=
Date: Mon, 07 Dec 2026 09:10:00 +0100
Message-ID: <uebung-2@brieflotse.example>
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="lotse-umlaute"

Diese Nachricht hat zwei Teile: derselbe Text einmal in Quoted-Printable
und einmal als 8-Bit-Text.

--lotse-umlaute
Content-Type: text/plain; charset=utf-8
Content-Transfer-Encoding: quoted-printable

Gr=C3=BC=C3=9Fe aus der =C3=9Cbungsstunde! In Quoted-Printable steht jeder =
Umlaut als Gleichheitszeichen mit zwei Hex-Ziffern: =C3=A4 =C3=B6 =C3=BC =
=C3=84 =C3=96 =C3=9C =C3=9F.

--lotse-umlaute
Content-Type: text/plain; charset=utf-8
Content-Transfer-Encoding: 8bit

Grüße aus der Übungsstunde! Als 8-Bit-Text stehen die Umlaute so im
Protokoll, wie sie sind: ä ö ü Ä Ö Ü ß.

--lotse-umlaute--
)";

const char* const kAttachmentMail = R"(Return-Path: <lotsin@brieflotse.example>
From: Lotsin <lotsin@brieflotse.example>
To: Lotse <lotse@brieflotse.example>
Subject: Merkzettel im Anhang
Date: Mon, 07 Dec 2026 09:20:00 +0100
Message-ID: <uebung-3@brieflotse.example>
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="lotse-anhang"

--lotse-anhang
Content-Type: text/plain; charset=us-ascii

Im Anhang finden Sie einen Merkzettel. Er reist in Base64: drei Bytes werden
zu vier Zeichen, in Zeilen zu 76 Zeichen.

--lotse-anhang
Content-Type: text/plain; charset=utf-8; name="Merkzettel.txt"
Content-Disposition: attachment; filename="Merkzettel.txt"
Content-Transfer-Encoding: base64

TWVya3pldHRlbCBmw7xyIGRpZSDDnGJ1bmcNCg0KMS4gVVNFUiB1bmQgUEFTUyBzZW5kZW4NCjIu
IFNUQVQgdW5kIExJU1QgbGVzZW4NCjMuIFJFVFIgMyBob2x0IGRpZXNlIE5hY2hyaWNodCBzYW10
IEFuaGFuZw0KNC4gREVMRSB3aXJrdCBlcnN0IG5hY2ggUVVJVA0K

--lotse-anhang--
)";

const char* const kHtmlMail = R"(Return-Path: <lotsin@brieflotse.example>
From: Lotsin <lotsin@brieflotse.example>
To: Lotse <lotse@brieflotse.example>
Subject: HTML mit Textfassung
Date: Mon, 07 Dec 2026 09:30:00 +0100
Message-ID: <uebung-4@brieflotse.example>
MIME-Version: 1.0
Content-Type: multipart/alternative; boundary="lotse-html"

--lotse-html
Content-Type: text/plain; charset=us-ascii

Diese Nachricht gibt es zweimal: als schlichten Text (diesen hier) und als
HTML. Ein Mail-Programm zeigt die letzte Fassung, die es darstellen kann.

--lotse-html
Content-Type: text/html; charset=us-ascii

<html>
<body>
<p>Diese Nachricht gibt es zweimal: als <b>HTML</b> (diese hier) und als
schlichten Text. Ein Mail-Programm zeigt die letzte Fassung, die es
darstellen kann.</p>
</body>
</html>

--lotse-html--
)";

const char* const kDotMail = R"(Return-Path: <lotsin@brieflotse.example>
From: Lotsin <lotsin@brieflotse.example>
To: Lotse <lotse@brieflotse.example>
Subject: Zeilen, die mit einem Punkt beginnen
Date: Mon, 07 Dec 2026 09:40:00 +0100
Message-ID: <uebung-5@brieflotse.example>
MIME-Version: 1.0
Content-Type: text/plain; charset=us-ascii

Eine Zeile mit nur einem Punkt beendet eine mehrzeilige Antwort. Steht ein
Punkt am Anfang einer Zeile der Nachricht, setzt der Server deshalb einen
zweiten davor; der Client nimmt ihn wieder weg. Achten Sie im Protokoll auf
die folgenden Zeilen:
.
.. zwei Punkte
.Punkt am Anfang
...
Erst die Zeile mit dem einzelnen Punkt am Ende gehoert nicht mehr dazu.
)";

// About one megabyte of numbered lines: the same every time.
std::string LargeMail()
{
    std::string Text = WithCrLf(R"(Return-Path: <lotsin@brieflotse.example>
From: Lotsin <lotsin@brieflotse.example>
To: Lotse <lotse@brieflotse.example>
Subject: Eine grosse Nachricht (etwa 1 MB)
Date: Mon, 07 Dec 2026 09:50:00 +0100
Message-ID: <uebung-6@brieflotse.example>
MIME-Version: 1.0
Content-Type: text/plain; charset=us-ascii

Diese Nachricht ist etwa ein Megabyte gross. Vergleichen Sie die Groesse in
LIST mit den Zaehlern unten im Fenster, und probieren Sie TOP 6 0.

)");
    const size_t Target = 1024 * 1024;
    char Line[96];
    for (int Number = 1; Text.size() < Target; ++Number) {
        std::snprintf(
            Line, sizeof Line, "Zeile %06d: Der Lotse bringt das Schiff sicher durch jede Einfahrt.\r\n", Number);
        Text += Line;
    }
    return Text;
}

} // namespace

TPracticeMailbox::TPracticeMailbox()
{
    FMessages = {
        { "lotse-0001-kurz", WithCrLf(kShortMail) },
        { "lotse-0002-umlaute", WithCrLf(kUmlautMail) },
        { "lotse-0003-anhang", WithCrLf(kAttachmentMail) },
        { "lotse-0004-html", WithCrLf(kHtmlMail) },
        { "lotse-0005-punkte", WithCrLf(kDotMail) },
        { "lotse-0006-gross", LargeMail() },
    };
}

const TPracticeMailbox& TPracticeMailbox::Sample()
{
    static const TPracticeMailbox kMailbox;
    return kMailbox;
}
