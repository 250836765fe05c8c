#include "settings/SecretStore.h"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <memory>

namespace {

// Attribute names stay as they are: entries kept by an older build must still be found.
const SecretSchema* RefreshTokenSchema()
{
    static const SecretSchema kSchema = { "de.ravelko.Brieflotse.RefreshToken", SECRET_SCHEMA_NONE,
        {
            { "program", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "issuer", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "client_id", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "user", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING },
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr };
    return &kSchema;
}

struct TErrorFree {
    void operator()(GError* Error) const { g_error_free(Error); }
};
using TErrorPtr = std::unique_ptr<GError, TErrorFree>;

struct TObjectUnref {
    void operator()(gpointer Object) const { g_object_unref(Object); }
};

void SetText(std::string* Target, const std::string& Text)
{
    if (Target)
        *Target = Text;
}

std::string KeyringError(const char* What, const GError* Error)
{
    return std::string(What) + ": " + (Error && Error->message ? Error->message : "unbekannter Fehler");
}

// The name a Secret Service owns on the session bus, and where it answers.
constexpr const char* kServiceName = "org.freedesktop.secrets";
constexpr const char* kServicePath = "/org/freedesktop/secrets";
// A keyring that takes longer than this to answer a ping is no help to a dialog.
constexpr int kPingTimeoutMs = 3000;

} // namespace

bool SecretStoreAvailable(std::string* Reason)
{
    SetText(Reason, std::string());
    // A connection of its own rather than GLib's shared one: that one would
    // keep the bus of the first call for the life of the process.
    GError* Raw = nullptr;
    gchar* Address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &Raw);
    TErrorPtr Error(Raw);
    if (!Address) {
        SetText(Reason,
            "Es ist kein Sitzungsbus (D-Bus) erreichbar; ohne ihn gibt es keinen Schlüsselbund, in dem Brieflotse "
            "das Refresh-Token sicher aufbewahren könnte.");
        return false;
    }
    Raw = nullptr;
    std::unique_ptr<GDBusConnection, TObjectUnref> Bus(g_dbus_connection_new_for_address_sync(Address,
        static_cast<GDBusConnectionFlags>(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &Raw));
    g_free(Address);
    Error.reset(Raw);
    if (!Bus) {
        SetText(Reason,
            KeyringError("Der Sitzungsbus (D-Bus) antwortet nicht", Error.get())
                + ". Ohne ihn gibt es keinen Schlüsselbund für das Refresh-Token.");
        return false;
    }
    // Ping starts a keyring the bus knows how to start, as libsecret itself would.
    Raw = nullptr;
    GVariant* Reply = g_dbus_connection_call_sync(Bus.get(), kServiceName, kServicePath, "org.freedesktop.DBus.Peer",
        "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, kPingTimeoutMs, nullptr, &Raw);
    Error.reset(Raw);
    g_dbus_connection_close_sync(Bus.get(), nullptr, nullptr);
    if (!Reply) {
        SetText(Reason,
            "Auf dem Sitzungsbus antwortet kein Schlüsselbund (Secret Service, etwa GNOME-Schlüsselbund, KWallet "
            "oder KeePassXC); das Refresh-Token kann daher nicht behalten werden.");
        return false;
    }
    g_variant_unref(Reply);
    return true;
}

std::string SecretLabel(const TSecretKey& Key)
{
    return "Brieflotse: Refresh-Token für " + Key.User + " bei " + Key.Issuer;
}

bool StoreRefreshToken(const TSecretKey& Key, const std::string& Token, std::string* Error)
{
    SetText(Error, std::string());
    GError* Raw = nullptr;
    const gboolean Stored = secret_password_store_sync(RefreshTokenSchema(), SECRET_COLLECTION_DEFAULT,
        SecretLabel(Key).c_str(), Token.c_str(), nullptr, &Raw, "program", "brieflotse", "issuer", Key.Issuer.c_str(),
        "client_id", Key.ClientId.c_str(), "user", Key.User.c_str(), nullptr);
    TErrorPtr Failure(Raw);
    if (!Stored)
        SetText(Error, KeyringError("Der Schlüsselbund hat das Refresh-Token nicht angenommen", Failure.get()));
    return Stored;
}

std::optional<std::string> LookUpRefreshToken(const TSecretKey& Key, std::string* Error)
{
    SetText(Error, std::string());
    GError* Raw = nullptr;
    gchar* Found = secret_password_lookup_sync(RefreshTokenSchema(), nullptr, &Raw, "program", "brieflotse", "issuer",
        Key.Issuer.c_str(), "client_id", Key.ClientId.c_str(), "user", Key.User.c_str(), nullptr);
    TErrorPtr Failure(Raw);
    if (Failure) {
        SetText(Error, KeyringError("Der Schlüsselbund hat nicht geantwortet", Failure.get()));
        return std::nullopt;
    }
    if (!Found)
        return std::nullopt;
    std::string Token(Found);
    // Wiped before it is freed, as the keyring's own copy would be.
    secret_password_free(Found);
    return Token;
}

bool ForgetRefreshToken(const TSecretKey& Key, std::string* Error)
{
    SetText(Error, std::string());
    GError* Raw = nullptr;
    secret_password_clear_sync(RefreshTokenSchema(), nullptr, &Raw, "program", "brieflotse", "issuer",
        Key.Issuer.c_str(), "client_id", Key.ClientId.c_str(), "user", Key.User.c_str(), nullptr);
    TErrorPtr Failure(Raw);
    if (Failure)
        SetText(Error, KeyringError("Der Schlüsselbund konnte das Refresh-Token nicht löschen", Failure.get()));
    return !Failure;
}
