#pragma once

// Refresh tokens in the desktop's keyring: the Secret Service on the session
// bus (GNOME Keyring, KWallet, KeePassXC), reached through libsecret. A token
// is never written to settings.json; without a keyring it is not kept at all.
// No Qt. Every call may wait on D-Bus: call it off the GUI thread.

#include <optional>
#include <string>

// What a kept refresh token belongs to; all four together find it again.
struct TSecretKey {
    std::string Issuer; // the issuer URL, or the token endpoint where there is none
    std::string ClientId;
    std::string User;
};

// True when a Secret Service answers on the session bus. Otherwise Reason
// says in German why a token cannot be kept.
bool SecretStoreAvailable(std::string* Reason = nullptr);

// The label the keyring shows for the entry (German).
std::string SecretLabel(const TSecretKey& Key);

// False with a German Error when the keyring refused or did not answer.
bool StoreRefreshToken(const TSecretKey& Key, const std::string& Token, std::string* Error = nullptr);
// Nothing when no token is kept for the key (Error empty) or the keyring failed (Error set).
std::optional<std::string> LookUpRefreshToken(const TSecretKey& Key, std::string* Error = nullptr);
// True when nothing is kept for the key afterwards.
bool ForgetRefreshToken(const TSecretKey& Key, std::string* Error = nullptr);
