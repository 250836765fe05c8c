#pragma once

// Where the program keeps its settings, and a key that closes itself.

#include <QString>

#include "settings/SettingsStore.h"

namespace SettingsPaths {
inline const QString Base = QStringLiteral("\\Software\\Ravelko\\Brieflotse\\");
inline const QString Display = Base + QStringLiteral("Display\\");
inline const QString History = Base + QStringLiteral("History\\");
inline const QString Hosts = Base + QStringLiteral("Hosts\\");
inline const QString Misc = Base + QStringLiteral("Misc\\");
// The assistant's and the finder's remembered entries.
inline const QString Assist = Base + QStringLiteral("Assist\\");
// The finder's own settings ("ProviderDatabase").
inline const QString Finder = Base + QStringLiteral("Finder\\");
} // namespace SettingsPaths

// Opens a key (created when missing) for the lifetime of the object, so a
// value of the wrong kind that throws half-way still closes it.
class TSettingsKey {
public:
    TSettingsKey(TSettingsStore& Store, const QString& Path)
        : FStore(Store)
        , FOpen(Store.OpenKey(Path, true))
    {
    }
    ~TSettingsKey()
    {
        if (FOpen)
            FStore.CloseKey();
    }
    TSettingsKey(const TSettingsKey&) = delete;
    TSettingsKey& operator=(const TSettingsKey&) = delete;

    bool IsOpen() const { return FOpen; }

    // Closes now: false when writing the changes failed (the store's
    // TakeWriteProblem tells why).
    bool Close()
    {
        if (!FOpen)
            return true;
        FOpen = false;
        return FStore.CloseKey();
    }

private:
    TSettingsStore& FStore;
    bool FOpen;
};
