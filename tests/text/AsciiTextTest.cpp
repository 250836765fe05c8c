// The ASCII helpers judge protocol bytes alike under every locale. Under a
// Turkish one <cctype> leaves 'i' lower case (UTF-8) or makes it 0xDD
// (ISO-8859-9, where 0xE7 also counts as a letter).
#include "text/AsciiText.h"

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// The Turkish locales this machine has; a missing one is built into a
// private folder when localedef is there (setlocale reads LOCPATH each time).
std::vector<std::string> TurkishLocales()
{
    std::vector<std::string> Found;
    const std::string Folder = ::testing::TempDir() + "brieflotse-locales";
    for (const std::string Charset : { "UTF-8", "ISO-8859-9" }) {
        const std::string Name = "tr_TR." + Charset;
        if (!std::setlocale(LC_ALL, Name.c_str())) {
            const std::string Build = "mkdir -p '" + Folder + "' && localedef -i tr_TR -f " + Charset + " '" + Folder
                + "/" + Name + "' >/dev/null 2>&1";
            if (std::system(Build.c_str()) == 0)
                ::setenv("LOCPATH", Folder.c_str(), 1);
        }
        if (std::setlocale(LC_ALL, Name.c_str()))
            Found.push_back(Name);
    }
    std::setlocale(LC_ALL, "C");
    return Found;
}

void ExpectAsciiRules()
{
    struct TCase {
        std::string Text, Upper, Lower;
    };
    const TCase Cases[] = {
        { "user lotse", "USER LOTSE", "user lotse" }, { "auth=Plain", "AUTH=PLAIN", "auth=plain" },
        { "LOGIN-DELAY", "LOGIN-DELAY", "login-delay" },
        { "\xC4\xB0i\xC4\xB1I", "\xC4\xB0I\xC4\xB1I", "\xC4\xB0i\xC4\xB1i" }, // İ and ı are no ASCII
        { "\xDD\xFD\xE7", "\xDD\xFD\xE7", "\xDD\xFD\xE7" }, // İ ı ç in ISO-8859-9
    };
    for (const TCase& Case : Cases) {
        EXPECT_EQ(AsciiUpper(Case.Text), Case.Upper) << Case.Text;
        EXPECT_EQ(AsciiLower(Case.Text), Case.Lower) << Case.Text;
    }
    EXPECT_TRUE(EqualsIgnoringAsciiCase("cram-MD5", "CRAM-md5"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase("i", "\xDD"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase("I", "\xFD"));
    EXPECT_TRUE(StartsWithIgnoringAsciiCase("POP3S://mail", "pop3s://"));
    EXPECT_FALSE(StartsWithIgnoringAsciiCase("pop3", "pop3s://"));
    for (int Byte = 0x80; Byte <= 0xFF; ++Byte) {
        const char C = static_cast<char>(Byte);
        EXPECT_FALSE(IsAsciiAlnum(C) || IsAsciiHexDigit(C) || IsAsciiSpace(C)) << Byte;
    }
}

TEST(AsciiText, SameUnderEveryLocale)
{
    ExpectAsciiRules();
    const std::vector<std::string> Locales = TurkishLocales();
    for (const std::string& Name : Locales) {
        SCOPED_TRACE(Name);
        std::setlocale(LC_ALL, Name.c_str());
        ExpectAsciiRules();
    }
    std::setlocale(LC_ALL, "C");
    if (Locales.empty())
        GTEST_SKIP() << "no Turkish locale here and none could be built";
}

} // namespace
