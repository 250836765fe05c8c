#include "app/ProgramStart.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <sys/prctl.h>
#include <sys/resource.h>

#include "dialogs/MessageBox.h"
#include "resources/Resources.h"

void PrepareBrieflotseApplication()
{
    // The program holds passwords in memory: no core dumps, no debugger of
    // the same user attaching unasked.
    const rlimit NoCore { 0, 0 };
    ::setrlimit(RLIMIT_CORE, &NoCore);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    QApplication::setApplicationName(QStringLiteral("Brieflotse"));
    InitBrieflotseResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/mainicon.png")));
    // The program speaks German: so do Qt's own buttons and standard dialogs.
    auto* Translator = new QTranslator(qApp);
    if (Translator->load(QLocale(QLocale::German, QLocale::Germany), QStringLiteral("qtbase"), QStringLiteral("_"),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(Translator);
    else
        delete Translator;
}

// Members are built in declaration order: store, main window, finder, assistant, about box.
TBrieflotseWindows::TBrieflotseWindows()
    : Main(Settings)
    , Finder(Settings, &Main)
    , Assistant(Settings, &Main)
    , About(&Main)
{
    Main.SetDialogs(&Finder, &Assistant, &About);
}

void TBrieflotseWindows::Show(const QString& Server)
{
    Main.show();
    const QString Problem = Settings.TakeLoadProblem();
    if (!Problem.isEmpty())
        TMessageBox::Error(&Main, QStringLiteral("Brieflotse - Einstellungen"), Problem);
    // Once the window is on the screen, so that the wait shows in it.
    if (!Server.isEmpty())
        QTimer::singleShot(0, &Main, [this, Server] { Main.ConnectTo(Server); });
}
