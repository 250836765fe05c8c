#pragma once

// A main window on a private settings file, shown offscreen, with message
// boxes pre-answerable; closes any connection a test left open.

#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include <gtest/gtest.h>
#include <memory>

#include "app/BrieflotseMain.h"
#include "dialogs/MessageBox.h"
#include "protocollog/LogView.h"
#include "settings/SettingsStore.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TMessageBox::ResetRecord();
        Store = std::make_unique<TSettingsStore>(QString::fromStdString(Dir.file("settings.json")));
        Main = std::make_unique<TPOP3Main>(*Store);
        Main->show();
    }

    void TearDown() override
    {
        if (Main->Conversation().Connected())
            Main->Conversation().DropConnection();
        Main.reset();
    }

    // Starts the server's script and connects the window to it through "Verbinden".
    void ConnectTo(ScriptedServer& Server)
    {
        Server.start();
        Child<QComboBox>(*Main, "HostCombo")->setEditText(QStringLiteral("127.0.0.1:%1").arg(Server.port()));
        Child<QPushButton>(*Main, "ButtonVerbinden")->click();
        ASSERT_TRUE(Main->Conversation().Connected())
            << Child<QPlainTextEdit>(*Main, "Hint")->toPlainText().toStdString();
    }

    TempDir Dir;
    std::unique_ptr<TSettingsStore> Store;
    std::unique_ptr<TPOP3Main> Main;
};
