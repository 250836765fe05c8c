// Program start: the module-wide objects, the application, the four windows in
// their order (main window, finder, assistant, about box), the message loop.

#include <QApplication>

#include "app/BrieflotseMain.h"
#include "app/SettingsStore.h"
#include "dialogs/BrieflotseAbout.h"
#include "dialogs/BrieflotseEdit.h"
#include "dialogs/BrieflotseLookup.h"
#include "dialogs/MessageBox.h"
#include "resources/Resources.h"

int main(int argc, char** argv)
{
    QApplication Application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brieflotse"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/mainicon.png")));
    InitBrieflotseResources();

    // One accessor of the per-user settings store for the whole run.
    TSettingsStore Settings;

    TPOP3Main Main(Settings);
    TPOP3Lookup Finder(Settings, &Main);
    TPOP3Edit Assistant(Settings, &Main);
    TPOP3About About(&Main);
    Main.SetDialogs(&Finder, &Assistant, &About);

    Main.show();
    const QString Problem = Settings.TakeLoadProblem();
    if (!Problem.isEmpty())
        MessageBox::error(&Main, QStringLiteral("Brieflotse - Einstellungen"), Problem);
    return Application.exec();
}
