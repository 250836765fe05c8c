#include "dialogs/MessageBox.h"

namespace {
QMessageBox::StandardButton nextAnswer = QMessageBox::NoButton;
QString recordedTitle;
QString recordedText;
int recordedCount = 0;
}

bool MessageBox::askYesNo(QWidget* parent, const QString& title, const QString& text)
{
    return show(parent, QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void MessageBox::information(QWidget* parent, const QString& title, const QString& text)
{
    show(parent, QMessageBox::Information, title, text, QMessageBox::Ok, QMessageBox::Ok);
}

void MessageBox::error(QWidget* parent, const QString& title, const QString& text)
{
    show(parent, QMessageBox::Critical, title, text, QMessageBox::Ok, QMessageBox::Ok);
}

void MessageBox::setNextAnswer(QMessageBox::StandardButton answer) { nextAnswer = answer; }
QString MessageBox::lastTitle() { return recordedTitle; }
QString MessageBox::lastText() { return recordedText; }
int MessageBox::shownCount() { return recordedCount; }

void MessageBox::resetRecord()
{
    nextAnswer = QMessageBox::NoButton;
    recordedTitle.clear();
    recordedText.clear();
    recordedCount = 0;
}

QMessageBox::StandardButton MessageBox::show(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                             const QString& text, QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton defaultButton)
{
    recordedTitle = title;
    recordedText = text;
    ++recordedCount;
    if (nextAnswer != QMessageBox::NoButton) {
        const QMessageBox::StandardButton answer = nextAnswer;
        nextAnswer = QMessageBox::NoButton;
        return answer;
    }
    QMessageBox box(icon, title, text, buttons, parent);
    box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}
