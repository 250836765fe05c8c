#pragma once

// Letter case and character classes of protocol bytes, by ASCII alone.
// <cctype> follows the process locale, which the window sets: under a Turkish
// one toupper('i') is no 'I', and bytes above 0x7F may count as letters.
// Commands, mechanism names, host names and response codes are ASCII, so these
// never look at the locale. No Qt here: every layer may use them.

#include <cstddef>
#include <string>

constexpr bool IsAsciiUpper(char C)
{
    return C >= 'A' && C <= 'Z';
}

constexpr bool IsAsciiLower(char C)
{
    return C >= 'a' && C <= 'z';
}

constexpr bool IsAsciiAlpha(char C)
{
    return IsAsciiUpper(C) || IsAsciiLower(C);
}

constexpr bool IsAsciiDigit(char C)
{
    return C >= '0' && C <= '9';
}

constexpr bool IsAsciiAlnum(char C)
{
    return IsAsciiAlpha(C) || IsAsciiDigit(C);
}

constexpr bool IsAsciiHexDigit(char C)
{
    return IsAsciiDigit(C) || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F');
}

// The value of a hex digit, -1 for any other character.
constexpr int AsciiHexValue(char C)
{
    if (IsAsciiDigit(C))
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

// Blank, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool IsAsciiSpace(char C)
{
    return C == ' ' || (C >= '\t' && C <= '\r');
}

constexpr char AsciiUpper(char C)
{
    return IsAsciiLower(C) ? static_cast<char>(C - 'a' + 'A') : C;
}

constexpr char AsciiLower(char C)
{
    return IsAsciiUpper(C) ? static_cast<char>(C - 'A' + 'a') : C;
}

inline std::string AsciiUpper(std::string Text)
{
    for (char& C : Text)
        C = AsciiUpper(C);
    return Text;
}

inline std::string AsciiLower(std::string Text)
{
    for (char& C : Text)
        C = AsciiLower(C);
    return Text;
}

inline bool EqualsIgnoringAsciiCase(const std::string& Left, const std::string& Right)
{
    if (Left.size() != Right.size())
        return false;
    for (size_t Index = 0; Index < Left.size(); ++Index)
        if (AsciiLower(Left[Index]) != AsciiLower(Right[Index]))
            return false;
    return true;
}

inline bool StartsWithIgnoringAsciiCase(const std::string& Text, const std::string& Prefix)
{
    return Text.size() >= Prefix.size() && EqualsIgnoringAsciiCase(Text.substr(0, Prefix.size()), Prefix);
}
