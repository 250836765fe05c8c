// Program entry: the application, the windows in their order, the message loop.

#include <QApplication>

#include "app/ProgramStart.h"

int main(int argc, char** argv)
{
    QApplication Application(argc, argv);
    PrepareBrieflotseApplication();
    TBrieflotseWindows Windows;
    Windows.Show();
    return Application.exec();
}
