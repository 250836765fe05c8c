#pragma once

// A private session bus with GNOME Keyring on it, for tests of the secret
// store: a dbus-daemon of its own (no service activation, so nothing else
// starts on it) and gnome-keyring-daemon with only its secrets component,
// its keyring files in a temporary folder and unlocked with a fixed password.
// Both stop (SIGTERM, then SIGKILL) when the object dies.

#include "tests/support/TempDir.h"

#include <string>
#include <sys/types.h>

class KeyringHarness {
public:
    static bool available(); // dbus-daemon and gnome-keyring-daemon are installed

    KeyringHarness() = default;
    ~KeyringHarness();
    KeyringHarness(const KeyringHarness&) = delete;
    KeyringHarness& operator=(const KeyringHarness&) = delete;

    // Only the bus, with no keyring on it yet.
    bool startBus(std::string* error = nullptr);
    // The bus (when not yet up) and the keyring; waits until the keyring owns
    // its name (10 s at most).
    bool start(std::string* error = nullptr);
    void stop();

    // For DBUS_SESSION_BUS_ADDRESS.
    const std::string& busAddress() const { return address_; }
    // What a child process needs besides the bus: the keyring's home.
    const std::string& folder() const { return folder_.path(); }

private:
    bool nameOwned(const std::string& name) const;

    TempDir folder_;
    std::string address_;
    pid_t bus_ = -1;
    pid_t keyring_ = -1;
};
