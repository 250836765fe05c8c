// Program entry: the command line, the application, the windows in their
// order, the message loop.

#include <QApplication>

#include "app/CommandLine.h"
#include "app/ExplainTerminal.h"
#include "app/FinderTerminal.h"
#include "app/PracticeServerTerminal.h"
#include "app/ProgramStart.h"
#include "app/ScriptTerminal.h"
#include "app/ServerCheckTerminal.h"

int main(int argc, char** argv)
{
    // Help, version, the practice server, the check, --explain, --find and --script need no window system.
    QStringList Arguments;
    for (int Index = 0; Index < argc; ++Index)
        Arguments.append(QString::fromLocal8Bit(argv[Index]));
    const TCommandLine Line = ParseCommandLine(Arguments);
    if (Line.Done)
        return Line.ExitCode;
    if (Line.PracticeServer)
        return RunPracticeServerInTerminal(Line);
    if (Line.Check)
        return RunServerCheckInTerminal(Line);
    if (Line.Explain)
        return RunExplainInTerminal(Line);
    if (Line.Find)
        return RunFinderInTerminal(Line);
    if (Line.Script)
        return RunScriptInTerminal(Line);

    QApplication Application(argc, argv);
    PrepareBrieflotseApplication();
    TBrieflotseWindows Windows;
    Windows.Show(Line.Server);
    return Application.exec();
}
