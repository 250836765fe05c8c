// Every text the program shows can be read where it is shown: guidance texts
// without scrolling, hints also as tooltips, a status text that does not fit
// ends in "…" and keeps its whole text as tooltip.

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>

#include <gtest/gtest.h>

#include "conversation/GuidanceTexts.h"
#include "tests/app/WindowTest.h"

TEST_F(WindowTest, EveryGuidanceTextFitsAndEveryHintIsATooltip)
{
    auto* Hint = Child<QPlainTextEdit>(*Main, "Hint");
    for (const std::string& Text : AllGuidanceTexts("pop3.mailserver.example.com",
             "Winsock-Fehler: 10047 - Address family not supported by protocol family")) {
        Main->ShowGuidanceText(Text, false);
        QApplication::processEvents();
        EXPECT_FALSE(Hint->verticalScrollBar()->isVisible()) << Text;
    }
    for (QAbstractButton* Button : Main->findChildren<QAbstractButton*>()) {
        if (!Button->statusTip().isEmpty()) {
            EXPECT_EQ(Button->toolTip(), Button->statusTip()) << Button->objectName().toStdString();
        }
    }
    const QString Long = QStringLiteral("Winsock-Fehler: 10047 - Address family not supported by protocol family");
    Main->ShowStatusText(Long.toStdString());
    auto* Status = Child<QLabel>(*Main, "StatusText");
    EXPECT_EQ(Status->text(), Long);
    EXPECT_EQ(Status->toolTip(), Long);
}
