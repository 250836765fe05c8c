#pragma once

// Every message box of the program goes through here, so tests can answer a
// box before it appears (SetNextAnswer) instead of blocking on a modal loop.

#include <QMessageBox>
#include <QString>

class QWidget;

class TMessageBox {
public:
    // Yes/No with No as the default and the question icon. True on Yes.
    static bool AskYesNo(QWidget* Parent, const QString& Title, const QString& Text);
    // A single OK button.
    static void Information(QWidget* Parent, const QString& Title, const QString& Text);
    static void Error(QWidget* Parent, const QString& Title, const QString& Text);

    // Test support: the next box is not shown; it returns this answer at once
    // and its title and text are kept for inspection.
    static void SetNextAnswer(QMessageBox::StandardButton Answer);
    static QString LastTitle();
    static QString LastText();
    static int ShownCount();
    static void ResetRecord();

private:
    static QMessageBox::StandardButton Show(QWidget* Parent, QMessageBox::Icon Icon, const QString& Title,
        const QString& Text, QMessageBox::StandardButtons Buttons, QMessageBox::StandardButton DefaultButton);
};
