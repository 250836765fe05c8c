#include "message/MessageReport.h"

#include "text/JsonWriter.h"

namespace {

void TextOrNull(TJsonWriter& W, const char* Name, const std::string& Value)
{
    if (Value.empty())
        W.Null(Name);
    else
        W.Text(Name, Value);
}

void Lines(TJsonWriter& W, const TMessageRange& Range)
{
    W.Open("lines", '[');
    W.Number(nullptr, static_cast<int64_t>(Range.FirstLine));
    W.Number(nullptr, static_cast<int64_t>(Range.LastLine));
    W.Close(']');
}

std::string LineText(const TMessageRange& Range)
{
    const std::string First = std::to_string(Range.FirstLine + 1);
    if (Range.LastLine == Range.FirstLine)
        return "Zeile " + First;
    return "Zeilen " + First + "-" + std::to_string(Range.LastLine + 1);
}

std::string Counted(size_t Count, const char* One, const char* Many)
{
    return std::to_string(Count) + " " + (Count == 1 ? One : Many);
}

void Add(std::string& Out, const char* Label, const std::string& Value)
{
    if (!Value.empty())
        Out += std::string("    ") + Label + ": " + Value + "\n";
}

} // namespace

std::string AnatomyJson(const TMessageAnatomy& Anatomy)
{
    TJsonWriter W;
    W.Out = "{";
    ++W.Depth;
    W.Bool("unstuffed", Anatomy.Unstuffed);
    W.Open("headers", '[');
    for (const THeaderField& Field : Anatomy.Headers) {
        W.Open(nullptr, '{');
        W.Text("name", Field.Name);
        W.Text("value", Field.Value);
        W.Text("raw", Field.Raw);
        W.List("charsets", Field.Charsets);
        W.Text("explanation", Field.Explanation);
        W.Bool("known", Field.Known);
        Lines(W, Field.Range);
        W.Close('}');
    }
    W.Close(']');
    W.Open("received", '[');
    for (const TReceivedHop& Hop : Anatomy.Received) {
        W.Open(nullptr, '{');
        TextOrNull(W, "from", Hop.From);
        TextOrNull(W, "by", Hop.By);
        TextOrNull(W, "with", Hop.With);
        TextOrNull(W, "id", Hop.Id);
        TextOrNull(W, "for", Hop.For);
        TextOrNull(W, "time", Hop.Time);
        if (Hop.DelaySeconds)
            W.Number("delay_s", *Hop.DelaySeconds);
        else
            W.Null("delay_s");
        W.Bool("tls", Hop.Tls);
        TextOrNull(W, "note", Hop.Note);
        Lines(W, Hop.Range);
        W.Close('}');
    }
    W.Close(']');
    W.Open("authentication_results", '[');
    for (const TAuthResult& Result : Anatomy.AuthenticationResults) {
        W.Open(nullptr, '{');
        W.Text("authserv_id", Result.AuthServId);
        W.Text("method", Result.Method);
        W.Text("result", Result.Result);
        W.Open("properties", '{');
        for (const auto& [Key, Value] : Result.Properties)
            W.Text(Key.c_str(), Value);
        W.Close('}');
        W.Bool("topmost", Result.Topmost);
        W.Text("explanation", Result.Explanation);
        Lines(W, Result.Range);
        W.Close('}');
    }
    W.Close(']');
    W.Open("dkim_signatures", '[');
    for (const TDkimSignature& Signature : Anatomy.DkimSignatures) {
        W.Open(nullptr, '{');
        W.Open("tags", '[');
        for (const TDkimTag& Tag : Signature.Tags) {
            W.Open(nullptr, '{');
            W.Text("tag", Tag.Tag);
            W.Text("value", Tag.Value);
            W.Text("explanation", Tag.Explanation);
            W.Close('}');
        }
        W.Close(']');
        Lines(W, Signature.Range);
        W.Close('}');
    }
    W.Close(']');
    W.Open("parts", '[');
    for (const TMimePart& Part : Anatomy.Parts) {
        W.Open(nullptr, '{');
        W.Text("path", Part.Path);
        W.Text("content_type", Part.ContentType);
        TextOrNull(W, "charset", Part.Charset);
        TextOrNull(W, "transfer_encoding", Part.TransferEncoding);
        TextOrNull(W, "disposition", Part.Disposition);
        TextOrNull(W, "filename", Part.FileName);
        W.Number("size_encoded", static_cast<int64_t>(Part.SizeEncoded));
        W.Number("size_decoded", static_cast<int64_t>(Part.SizeDecoded));
        if (Part.IsText)
            W.Text("text", Part.Text);
        else
            W.Null("text");
        Lines(W, Part.Range);
        W.Close('}');
    }
    W.Close(']');
    W.Open("problems", '[');
    for (const TMessageProblem& Problem : Anatomy.Problems)
        W.Text(nullptr, Problem.Text);
    W.Close(']');
    W.Close('}');
    W.Out += '\n';
    return std::move(W.Out);
}

std::string AnatomyText(const TMessageAnatomy& Anatomy)
{
    std::string Out;
    if (Anatomy.Unstuffed)
        Out += "Gespeicherter POP3-Inhalt: verdoppelte Punkte am Zeilenanfang und die Schlußzeile \".\" wurden "
               "entfernt.\n\n";
    Out += "Kopf (" + Counted(Anatomy.Headers.size(), "Feld", "Felder") + ")\n";
    for (const THeaderField& Field : Anatomy.Headers) {
        Out += "  " + Field.Name + ": " + Field.Value + "\n";
        Out += "    " + Field.Explanation + " (" + LineText(Field.Range) + ")\n";
        if (!Field.Charsets.empty()) {
            std::string Names;
            for (const std::string& Charset : Field.Charsets)
                Names += (Names.empty() ? "" : ", ") + Charset;
            Out += "    Kodierte Wörter (RFC 2047) im Zeichensatz " + Names + "\n";
        }
    }
    Out += "\nWeg (" + Counted(Anatomy.Received.size(), "Station", "Stationen") + ", von unten nach oben)\n";
    int Number = 0;
    for (const TReceivedHop& Hop : Anatomy.Received) {
        Out += "  " + std::to_string(++Number) + ". " + (Hop.Time.empty() ? "(ohne Zeit)" : Hop.Time);
        if (Hop.DelaySeconds)
            Out += ", " + std::to_string(*Hop.DelaySeconds) + " s nach der vorigen Station";
        Out += " (" + LineText(Hop.Range) + ")\n";
        Add(Out, "von", Hop.From);
        Add(Out, "durch", Hop.By);
        Add(Out, "mit", Hop.With.empty() ? "" : Hop.With + (Hop.Tls ? " (mit TLS)" : " (ohne TLS-Angabe)"));
        Add(Out, "Kennung", Hop.Id);
        Add(Out, "für", Hop.For);
        Add(Out, "Hinweis", Hop.Note);
    }
    if (Anatomy.Received.empty())
        Out += "  (keine Received-Felder)\n";
    Out += "\nPrüfungen\n";
    if (Anatomy.AuthenticationResults.empty() && Anatomy.DkimSignatures.empty())
        Out += "  (weder Authentication-Results noch DKIM-Signature)\n";
    if (!Anatomy.AuthenticationResults.empty())
        Out += "  Nur dem obersten Authentication-Results ist zu trauen: ihn fügte der eigene Provider hinzu; "
               "tiefere kann jeder vorher Beteiligte geschrieben haben.\n";
    for (const TAuthResult& Result : Anatomy.AuthenticationResults) {
        Out += "  " + Result.Method + "=" + Result.Result + " (" + Result.AuthServId + ", "
            + (Result.Topmost ? "oberstes Feld" : "tieferes Feld, nicht verläßlich") + ", " + LineText(Result.Range)
            + ")\n";
        Out += "    " + Result.Explanation + "\n";
        for (const auto& [Key, Value] : Result.Properties)
            Out += "    " + Key + "=" + Value + "\n";
    }
    for (const TDkimSignature& Signature : Anatomy.DkimSignatures) {
        Out += "  DKIM-Signature (" + LineText(Signature.Range) + ")\n";
        for (const TDkimTag& Tag : Signature.Tags) {
            const std::string Value = Tag.Value.size() > 60 ? Tag.Value.substr(0, 57) + "..." : Tag.Value;
            Out += "    " + Tag.Tag + "=" + Value + ": " + Tag.Explanation + "\n";
        }
    }
    Out += "\nAufbau (" + Counted(Anatomy.Parts.size(), "Teil", "Teile") + ")\n";
    for (const TMimePart& Part : Anatomy.Parts) {
        Out += std::string(2 + static_cast<size_t>(Part.Depth) * 2, ' ') + Part.Path + " " + Part.ContentType;
        if (!Part.Charset.empty())
            Out += "; " + Part.Charset;
        if (!Part.TransferEncoding.empty())
            Out += "; " + Part.TransferEncoding;
        if (!Part.Disposition.empty())
            Out += "; " + Part.Disposition;
        if (!Part.FileName.empty())
            Out += "; Datei \"" + Part.FileName + "\"";
        if (!Part.Container)
            Out += "; " + std::to_string(Part.SizeEncoded) + " Bytes kodiert, " + std::to_string(Part.SizeDecoded)
                + " dekodiert";
        Out += " (" + LineText(Part.Range) + ")\n";
        if (Part.IsText && !Part.Text.empty()) {
            const std::string Indent(6 + static_cast<size_t>(Part.Depth) * 2, ' ');
            size_t At = 0;
            int Shown = 0;
            while (At < Part.Text.size() && Shown < 20) {
                size_t End = Part.Text.find('\n', At);
                if (End == std::string::npos)
                    End = Part.Text.size();
                Out += Indent + "| " + Part.Text.substr(At, std::min<size_t>(End - At, 200)) + "\n";
                At = End + 1;
                ++Shown;
            }
            if (At < Part.Text.size())
                Out += Indent + "| ... (gekürzt; der ganze Text mit --json)\n";
        }
    }
    if (!Anatomy.Problems.empty()) {
        Out += "\nProbleme\n";
        for (const TMessageProblem& Problem : Anatomy.Problems)
            Out += "  " + Problem.Text + (Problem.Range ? " (" + LineText(*Problem.Range) + ")" : "") + "\n";
    }
    return Out;
}
