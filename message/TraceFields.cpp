#include "message/TraceFields.h"

#include <gmime/gmime.h>

#include <algorithm>

#include "message/HeaderTexts.h"
#include "text/AsciiText.h"

namespace {

std::string Trim(const std::string& Text)
{
    size_t Begin = 0;
    size_t End = Text.size();
    while (Begin < End && IsAsciiSpace(Text[Begin]))
        ++Begin;
    while (End > Begin && IsAsciiSpace(Text[End - 1]))
        --End;
    return Text.substr(Begin, End - Begin);
}

// Runs of blanks become one blank.
std::string Collapse(const std::string& Text)
{
    std::string Out;
    bool Blank = false;
    for (const char C : Text) {
        if (IsAsciiSpace(C)) {
            Blank = true;
            continue;
        }
        if (Blank && !Out.empty())
            Out += ' ';
        Blank = false;
        Out += C;
    }
    return Out;
}

// Words of Text outside comments and quoted strings, each with the comments
// that follow it; Separator (when not 0) ends a word on its own.
struct TWord {
    std::string Text; // without comments
    std::string WithComments;
};

std::vector<TWord> Words(const std::string& Text, char Separator)
{
    std::vector<TWord> Out;
    TWord Current;
    int Depth = 0;
    bool Quoted = false;
    auto Flush = [&] {
        if (!Current.Text.empty() || !Current.WithComments.empty())
            Out.push_back(Current);
        Current = {};
    };
    for (size_t Index = 0; Index < Text.size(); ++Index) {
        const char C = Text[Index];
        if (Depth > 0) {
            Current.WithComments += C;
            if (C == '\\' && Index + 1 < Text.size())
                Current.WithComments += Text[++Index];
            else if (C == '(')
                ++Depth;
            else if (C == ')')
                --Depth;
            continue;
        }
        if (Quoted) {
            if (C == '\\' && Index + 1 < Text.size()) {
                Current.Text += Text[++Index];
                Current.WithComments += Text[Index];
                continue;
            }
            if (C == '"')
                Quoted = false;
            else
                Current.Text += C;
            Current.WithComments += C;
            continue;
        }
        if (C == '(') {
            // A comment belongs to the word before it.
            if (Current.Text.empty() && !Out.empty() && Current.WithComments.empty()) {
                Current = Out.back();
                Out.pop_back();
            }
            if (!Current.WithComments.empty())
                Current.WithComments += ' ';
            Current.WithComments += C;
            Depth = 1;
            continue;
        }
        if (C == '"') {
            Quoted = true;
            Current.WithComments += C;
            continue;
        }
        if (IsAsciiSpace(C) || (Separator && C == Separator)) {
            // A word ends; its comments may still follow.
            if (!Current.Text.empty() || !Current.WithComments.empty()) {
                Flush();
            }
            if (Separator && C == Separator) {
                Out.push_back({ std::string(1, Separator), std::string(1, Separator) });
            }
            continue;
        }
        Current.Text += C;
        Current.WithComments += C;
    }
    Flush();
    return Out;
}

} // namespace

bool ReadMailDate(const std::string& Text, int64_t& Epoch, std::string& Iso)
{
    GDateTime* Date = g_mime_utils_header_decode_date(Text.c_str());
    if (!Date)
        return false;
    Epoch = g_date_time_to_unix(Date);
    gchar* Formatted = g_date_time_format(Date, "%Y-%m-%dT%H:%M:%S%:z");
    Iso = Formatted ? Formatted : "";
    g_free(Formatted);
    g_date_time_unref(Date);
    return true;
}

TReceivedHop ParseReceived(const std::string& Value)
{
    TReceivedHop Hop;
    // The date follows the last semicolon outside comments.
    size_t DateAt = std::string::npos;
    int Depth = 0;
    for (size_t Index = 0; Index < Value.size(); ++Index) {
        const char C = Value[Index];
        if (C == '(')
            ++Depth;
        else if (C == ')' && Depth > 0)
            --Depth;
        else if (C == ';' && Depth == 0)
            DateAt = Index;
    }
    const std::string Clauses = DateAt == std::string::npos ? Value : Value.substr(0, DateAt);
    std::string* Target = nullptr;
    for (const TWord& Word : Words(Clauses, 0)) {
        const std::string Key = AsciiLower(Word.Text);
        std::string* Next = nullptr;
        if (Key == "from")
            Next = &Hop.From;
        else if (Key == "by")
            Next = &Hop.By;
        else if (Key == "via")
            Next = &Hop.Via;
        else if (Key == "with")
            Next = &Hop.With;
        else if (Key == "id")
            Next = &Hop.Id;
        else if (Key == "for")
            Next = &Hop.For;
        if (Next && Word.WithComments == Word.Text) {
            Target = Next;
            continue;
        }
        if (!Target)
            continue;
        if (!Target->empty())
            *Target += ' ';
        // "with" and "id" are single tokens; comments after them are noise.
        *Target += (Target == &Hop.With || Target == &Hop.Id) ? Word.Text : Word.WithComments;
    }
    for (std::string* Field : { &Hop.From, &Hop.By, &Hop.Via, &Hop.With, &Hop.Id, &Hop.For })
        *Field = Collapse(*Field);
    const std::string With = AsciiUpper(Hop.With);
    // RFC 3848: the "S" after SMTP, LMTP or UTF8SMTP (optionally with "A") means TLS.
    for (const char* Word :
        { "ESMTPS", "ESMTPSA", "LMTPS", "LMTPSA", "UTF8SMTPS", "UTF8SMTPSA", "UTF8LMTPS", "UTF8LMTPSA" })
        if (With == Word)
            Hop.Tls = true;
    if (DateAt != std::string::npos) {
        int64_t Epoch = 0;
        std::string Iso;
        const std::string DateText = Trim(Value.substr(DateAt + 1));
        if (ReadMailDate(DateText, Epoch, Iso)) {
            Hop.Epoch = Epoch;
            Hop.Time = Iso;
        } else {
            Hop.Note = "Die Zeitangabe \"" + DateText.substr(0, 80) + "\" ist nicht lesbar.";
        }
    } else {
        Hop.Note = "Ohne Zeitangabe (kein \";\" mit Datum am Ende).";
    }
    return Hop;
}

void ChainReceived(std::vector<TReceivedHop>& Hops)
{
    // The topmost field is the newest: the chain reads from the bottom up.
    std::reverse(Hops.begin(), Hops.end());
    for (size_t Index = 1; Index < Hops.size(); ++Index) {
        const TReceivedHop& Before = Hops[Index - 1];
        TReceivedHop& Hop = Hops[Index];
        if (!Before.Epoch || !Hop.Epoch)
            continue;
        Hop.DelaySeconds = *Hop.Epoch - *Before.Epoch;
        if (*Hop.DelaySeconds < 0)
            Hop.Note = "Negative Verzögerung (" + std::to_string(*Hop.DelaySeconds)
                + " s): die Uhren der beiden Server gehen nicht gleich; die Nachricht kam nicht vor ihrer "
                  "Absendung an.";
    }
}

std::vector<TAuthResult> ParseAuthenticationResults(const std::string& Value)
{
    std::vector<TAuthResult> Results;
    const std::vector<TWord> All = Words(Value, ';');
    // authserv-id [version] ; resinfo ; resinfo ...
    std::string AuthServId;
    size_t Index = 0;
    for (; Index < All.size() && All[Index].Text != ";"; ++Index)
        if (AuthServId.empty())
            AuthServId = All[Index].Text;
    TAuthResult* Current = nullptr;
    for (; Index < All.size(); ++Index) {
        const std::string& Word = All[Index].Text;
        if (Word == ";") {
            Current = nullptr;
            continue;
        }
        const size_t Equals = Word.find('=');
        if (Equals == std::string::npos) {
            if (!Current && EqualsIgnoringAsciiCase(Word, "none"))
                continue; // "none": no checks were made
            continue;
        }
        std::string Key = Word.substr(0, Equals);
        std::string Val = Word.substr(Equals + 1);
        // "key = value" with blanks around the sign.
        if (Val.empty() && Index + 1 < All.size() && All[Index + 1].Text != ";")
            Val = All[++Index].Text;
        if (!Current) {
            TAuthResult Result;
            Result.AuthServId = AuthServId;
            const size_t Slash = Key.find('/');
            Result.Method = AsciiLower(Key.substr(0, Slash));
            Result.Result = AsciiLower(Val);
            Result.Explanation = ExplainAuthResult(Result.Method, Result.Result);
            Results.push_back(std::move(Result));
            Current = &Results.back();
            continue;
        }
        Current->Properties.emplace_back(AsciiLower(Key), Val);
    }
    return Results;
}

std::vector<TDkimTag> ParseDkimSignature(const std::string& Value)
{
    std::vector<TDkimTag> Tags;
    size_t Begin = 0;
    while (Begin <= Value.size()) {
        size_t End = Value.find(';', Begin);
        if (End == std::string::npos)
            End = Value.size();
        const std::string Item = Value.substr(Begin, End - Begin);
        const size_t Equals = Item.find('=');
        if (Equals != std::string::npos) {
            TDkimTag Tag;
            Tag.Tag = AsciiLower(Trim(Item.substr(0, Equals)));
            for (const char C : Item.substr(Equals + 1))
                if (!IsAsciiSpace(C))
                    Tag.Value += C;
            Tag.Explanation = ExplainDkimTag(Tag.Tag, Tag.Value);
            if (!Tag.Tag.empty())
                Tags.push_back(std::move(Tag));
        }
        Begin = End + 1;
    }
    return Tags;
}
