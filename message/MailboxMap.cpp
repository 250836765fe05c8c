#include "message/MailboxMap.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <unordered_map>

#include "message/MessageAnatomy.h"
#include "message/TraceFields.h"

namespace {

const std::string* FindHeader(const TMessageAnatomy& Anatomy, const char* Name)
{
    for (const THeaderField& Field : Anatomy.Headers)
        if (Field.Name.size() == std::char_traits<char>::length(Name)) {
            bool Same = true;
            for (size_t Index = 0; Index < Field.Name.size() && Same; ++Index)
                Same = std::tolower(static_cast<unsigned char>(Field.Name[Index])) == Name[Index];
            if (Same)
                return &Field.Value;
        }
    return nullptr;
}

// "2026-12-07T22:00:00+01:00" as a table shows it.
std::string ShortDate(const std::string& Iso)
{
    if (Iso.size() < 16)
        return Iso;
    std::string Offset = Iso.size() > 19 ? Iso.substr(19) : std::string();
    Offset.erase(std::remove(Offset.begin(), Offset.end(), ':'), Offset.end());
    return Iso.substr(0, 10) + " " + Iso.substr(11, 5) + (Offset.empty() ? "" : " " + Offset);
}

} // namespace

std::vector<std::pair<int, std::string>> ParseListing(const std::string& Body)
{
    std::vector<std::pair<int, std::string>> Pairs;
    size_t Start = 0;
    while (Start < Body.size()) {
        size_t End = Body.find('\n', Start);
        if (End == std::string::npos)
            End = Body.size();
        std::string Line = Body.substr(Start, End - Start);
        Start = End + 1;
        if (!Line.empty() && Line.back() == '\r')
            Line.pop_back();
        const size_t Space = Line.find(' ');
        if (Space == std::string::npos || Space == 0 || Space > 9)
            continue;
        bool Digits = true;
        for (size_t Index = 0; Index < Space; ++Index)
            Digits = Digits && Line[Index] >= '0' && Line[Index] <= '9';
        const int Number = Digits ? std::atoi(Line.c_str()) : 0;
        const size_t Value = Line.find_first_not_of(' ', Space);
        if (Number <= 0 || Value == std::string::npos)
            continue;
        Pairs.emplace_back(Number, Line.substr(Value, Line.find(' ', Value) - Value));
    }
    return Pairs;
}

std::vector<TMailboxRow> RowsFromListings(const std::string& ListBody, const std::string& UidlBody)
{
    std::vector<TMailboxRow> Rows;
    std::unordered_map<int, size_t> ByNumber;
    for (const auto& [Number, Size] : ParseListing(ListBody)) {
        if (ByNumber.count(Number))
            continue;
        ByNumber[Number] = Rows.size();
        TMailboxRow Row;
        Row.Number = Number;
        Row.Size = std::strtoull(Size.c_str(), nullptr, 10);
        Rows.push_back(Row);
    }
    for (const auto& [Number, Uidl] : ParseListing(UidlBody)) {
        const auto Found = ByNumber.find(Number);
        if (Found != ByNumber.end())
            Rows[Found->second].Uidl = Uidl;
    }
    return Rows;
}

void FillFromHeader(TMailboxRow& Row, const std::string& TopBody)
{
    TDecomposeOptions Options;
    Options.MaxTextBytes = 0;
    Options.MaxParts = 1;
    const TMessageAnatomy Anatomy = DecomposeMessage(TopBody, Options);
    if (const std::string* From = FindHeader(Anatomy, "from"))
        Row.From = *From;
    if (const std::string* Subject = FindHeader(Anatomy, "subject"))
        Row.Subject = *Subject;
    if (const std::string* Date = FindHeader(Anatomy, "date")) {
        int64_t Epoch = 0;
        std::string Iso;
        Row.Date = ReadMailDate(*Date, Epoch, Iso) ? ShortDate(Iso) : *Date;
    }
}

void MatchByUidl(std::vector<TMailboxRow>& Current, const std::vector<TMailboxRow>& Earlier)
{
    if (Earlier.empty())
        return;
    std::unordered_map<std::string, const TMailboxRow*> Before;
    for (const TMailboxRow& Row : Earlier)
        if (!Row.Uidl.empty() && !Row.Gone)
            Before.emplace(Row.Uidl, &Row);
    if (Before.empty())
        return;
    for (TMailboxRow& Row : Current) {
        const auto Found = Row.Uidl.empty() ? Before.end() : Before.find(Row.Uidl);
        Row.New = Found == Before.end();
        if (!Row.New) {
            Row.EarlierNumber = Found->second->Number;
            Before.erase(Found);
        }
    }
    for (const TMailboxRow& Row : Earlier)
        if (!Row.Gone && Before.count(Row.Uidl)) {
            TMailboxRow GoneRow = Row;
            GoneRow.EarlierNumber = Row.Number;
            GoneRow.Number = 0;
            GoneRow.Gone = true;
            GoneRow.Deleted = false;
            GoneRow.New = false;
            Current.push_back(GoneRow);
        }
}

bool FollowCommand(std::vector<TMailboxRow>& Rows, const std::string& Word, int Number)
{
    bool Changed = false;
    for (TMailboxRow& Row : Rows) {
        if (Row.Gone)
            continue;
        const bool Deleted = Word == "RSET" ? false : Word == "DELE" && Row.Number == Number ? true : Row.Deleted;
        Changed = Changed || Deleted != Row.Deleted;
        Row.Deleted = Deleted;
    }
    return Changed;
}

std::string RowNote(const TMailboxRow& Row)
{
    if (Row.Gone)
        return "nicht mehr auf dem Server (vorher Nr. " + std::to_string(Row.EarlierNumber) + ")";
    std::string Note = Row.Deleted ? "gelöscht (DELE)" : "";
    auto Add = [&Note](const std::string& Text) { Note += (Note.empty() ? "" : ", ") + Text; };
    if (Row.New)
        Add("neu");
    else if (Row.EarlierNumber > 0 && Row.EarlierNumber != Row.Number)
        Add("vorher Nr. " + std::to_string(Row.EarlierNumber));
    return Note;
}
