// Status line: idle states, activity, and a pending error message.
#include <gtest/gtest.h>

#include "conversation/StatusLine.h"

TEST(StatusLine, IdleShowsTheConnectionState)
{
    TStatusLine Online = DecideStatusLine(".", true, "pop.example.org", false, "");
    EXPECT_EQ(Online.Picture, TStatusPicture::OnlineOff);
    EXPECT_EQ(Online.Text, "Bereit");
    EXPECT_TRUE(Online.SetsTitle);
    EXPECT_EQ(Online.Title, "Brieflotse - [pop.example.org]");

    TStatusLine Offline = DecideStatusLine(".", false, "pop.example.org", false, "");
    EXPECT_EQ(Offline.Picture, TStatusPicture::Offline);
    EXPECT_EQ(Offline.Text, "Offline");
    EXPECT_EQ(Offline.Title, "Brieflotse");
}

TEST(StatusLine, ActivityKeepsTheTitleAndAnEmptyTextKeepsThePanel)
{
    TStatusLine Busy = DecideStatusLine("Wartet auf Antwort ...", true, "h", false, "");
    EXPECT_EQ(Busy.Picture, TStatusPicture::OnlineOn);
    EXPECT_FALSE(Busy.SetsTitle);
    EXPECT_EQ(Busy.Text, "Wartet auf Antwort ...");

    TStatusLine Tick = DecideStatusLine("", true, "h", false, "");
    EXPECT_EQ(Tick.Picture, TStatusPicture::OnlineOn);
    EXPECT_EQ(Tick.Text, "");
}

TEST(StatusLine, ErrorMessageWinsOverEveryText)
{
    const std::string Message = "Winsock-Fehler: 12000 - Request timed out";
    EXPECT_EQ(DecideStatusLine(".", true, "h", true, Message).Text, Message);
    EXPECT_EQ(DecideStatusLine("", true, "h", true, Message).Text, Message);
    EXPECT_EQ(DecideStatusLine(".", false, "h", true, Message).Picture, TStatusPicture::Offline);
}
