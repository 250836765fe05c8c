#pragma once

// JSON for the reports the program writes (server check, message anatomy):
// a string escaper and a small writer that puts each member on a line of its
// own. No Qt, so that every layer may use it.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Length of the UTF-8 sequence at Index, 0 when the bytes there are none.
inline size_t Utf8Length(const std::string& Text, size_t Index)
{
    const auto Byte = [&](size_t At) { return static_cast<unsigned char>(Text[At]); };
    const unsigned char First = Byte(Index);
    size_t Length = 0;
    if (First >= 0xC2 && First <= 0xDF)
        Length = 2;
    else if (First >= 0xE0 && First <= 0xEF)
        Length = 3;
    else if (First >= 0xF0 && First <= 0xF4)
        Length = 4;
    if (Length == 0 || Index + Length > Text.size())
        return 0;
    for (size_t Next = 1; Next < Length; ++Next)
        if ((Byte(Index + Next) & 0xC0) != 0x80)
            return 0;
    return Length;
}

// Text as a JSON string with its quotes; bytes that are no UTF-8 become U+FFFD.
inline std::string JsonString(const std::string& Text)
{
    std::string Out = "\"";
    Out.reserve(Text.size() + 2);
    for (size_t Index = 0; Index < Text.size();) {
        const unsigned char C = static_cast<unsigned char>(Text[Index]);
        if (C >= 0x80) {
            const size_t Length = Utf8Length(Text, Index);
            if (Length)
                Out.append(Text, Index, Length);
            else
                Out += "\\ufffd";
            Index += Length ? Length : 1;
            continue;
        }
        if (C == '"' || C == '\\') {
            Out += '\\';
            Out += static_cast<char>(C);
        } else if (C == '\n') {
            Out += "\\n";
        } else if (C == '\r') {
            Out += "\\r";
        } else if (C == '\t') {
            Out += "\\t";
        } else if (C < 0x20 || C == 0x7F) {
            char Escape[8];
            std::snprintf(Escape, sizeof Escape, "\\u%04x", C);
            Out += Escape;
        } else {
            Out += static_cast<char>(C);
        }
        ++Index;
    }
    return Out + "\"";
}

// Writes members one per line, indented by two blanks per level; Name is null
// for an array element.
struct TJsonWriter {
    std::string Out;
    int Depth = 0;
    bool First = true;

    void Newline()
    {
        Out += '\n';
        Out.append(static_cast<size_t>(Depth) * 2, ' ');
    }
    void Key(const char* Name)
    {
        if (!First)
            Out += ',';
        First = false;
        Newline();
        if (Name)
            Out += JsonString(Name) + ": ";
    }
    void Open(const char* Name, char Bracket)
    {
        Key(Name);
        Out += Bracket;
        ++Depth;
        First = true;
    }
    void Close(char Bracket)
    {
        --Depth;
        if (!First)
            Newline();
        Out += Bracket;
        First = false;
    }
    void Text(const char* Name, const std::string& Value)
    {
        Key(Name);
        Out += JsonString(Value);
    }
    void Bool(const char* Name, bool Value)
    {
        Key(Name);
        Out += Value ? "true" : "false";
    }
    void Number(const char* Name, int64_t Value, bool NullBelowZero = false)
    {
        Key(Name);
        Out += NullBelowZero && Value < 0 ? "null" : std::to_string(Value);
    }
    void Null(const char* Name)
    {
        Key(Name);
        Out += "null";
    }
    void List(const char* Name, const std::vector<std::string>& Items)
    {
        Open(Name, '[');
        for (const std::string& Item : Items)
            Text(nullptr, Item);
        Close(']');
    }
};
