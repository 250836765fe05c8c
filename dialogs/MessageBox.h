#pragma once

// Every message box of the program goes through here, so tests can answer a
// box before it appears (setNextAnswer) instead of blocking on a modal loop.

#include <QMessageBox>
#include <QString>

class QWidget;

class MessageBox {
public:
    // Yes/No with No as the default and the question icon. True on Yes.
    static bool askYesNo(QWidget* parent, const QString& title, const QString& text);
    // A single OK button.
    static void information(QWidget* parent, const QString& title, const QString& text);
    static void error(QWidget* parent, const QString& title, const QString& text);

    // Test support: the next box is not shown; it returns this answer at once
    // and its title and text are kept for inspection.
    static void setNextAnswer(QMessageBox::StandardButton answer);
    static QString lastTitle();
    static QString lastText();
    static int shownCount();
    static void resetRecord();

private:
    static QMessageBox::StandardButton show(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                            const QString& text, QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton);
};
