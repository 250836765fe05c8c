#include "dialogs/MessageBox.h"

namespace {
QMessageBox::StandardButton NextAnswer = QMessageBox::NoButton;
QString RecordedTitle;
QString RecordedText;
int RecordedCount = 0;
}

bool TMessageBox::AskYesNo(QWidget* Parent, const QString& Title, const QString& Text)
{
    return Show(Parent, QMessageBox::Question, Title, Text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void TMessageBox::Information(QWidget* Parent, const QString& Title, const QString& Text)
{
    Show(Parent, QMessageBox::Information, Title, Text, QMessageBox::Ok, QMessageBox::Ok);
}

void TMessageBox::Error(QWidget* Parent, const QString& Title, const QString& Text)
{
    Show(Parent, QMessageBox::Critical, Title, Text, QMessageBox::Ok, QMessageBox::Ok);
}

void TMessageBox::SetNextAnswer(QMessageBox::StandardButton Answer)
{
    NextAnswer = Answer;
}
QString TMessageBox::LastTitle()
{
    return RecordedTitle;
}
QString TMessageBox::LastText()
{
    return RecordedText;
}
int TMessageBox::ShownCount()
{
    return RecordedCount;
}

void TMessageBox::ResetRecord()
{
    NextAnswer = QMessageBox::NoButton;
    RecordedTitle.clear();
    RecordedText.clear();
    RecordedCount = 0;
}

QMessageBox::StandardButton TMessageBox::Show(QWidget* Parent, QMessageBox::Icon Icon, const QString& Title,
    const QString& Text, QMessageBox::StandardButtons Buttons, QMessageBox::StandardButton DefaultButton)
{
    RecordedTitle = Title;
    RecordedText = Text;
    ++RecordedCount;
    if (NextAnswer != QMessageBox::NoButton) {
        const QMessageBox::StandardButton Answer = NextAnswer;
        NextAnswer = QMessageBox::NoButton;
        return Answer;
    }
    QMessageBox Box(Icon, Title, Text, Buttons, Parent);
    Box.setDefaultButton(DefaultButton);
    return static_cast<QMessageBox::StandardButton>(Box.exec());
}
