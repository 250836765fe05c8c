#pragma once

// The program's start sequence after the application object exists: the
// settings accessor, then the four windows in their order (main window,
// finder, assistant, about box), wired together. Used by the program and by
// the start-up benchmark, so both measure and run the same thing.

#include "app/BrieflotseMain.h"
#include "dialogs/BrieflotseAbout.h"
#include "dialogs/BrieflotseEdit.h"
#include "dialogs/BrieflotseLookup.h"
#include "settings/SettingsStore.h"

// Sets the application's name and icon and registers the resources.
void PrepareBrieflotseApplication();

class TBrieflotseWindows {
public:
    TBrieflotseWindows();
    TBrieflotseWindows(const TBrieflotseWindows&) = delete;
    TBrieflotseWindows& operator=(const TBrieflotseWindows&) = delete;

    // Shows the main window and reports a settings file that had to be set
    // aside; a Server from the command line is then connected to as if typed
    // and "Verbinden" pressed.
    void Show(const QString& Server = QString());

    TSettingsStore Settings; // one accessor of the per-user store for the whole run
    TPOP3Main Main;
    TPOP3Lookup Finder;
    TPOP3Edit Assistant;
    TPOP3About About;
};
