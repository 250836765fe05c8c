#include "settings/SecretStore.h"
#include "tests/support/KeyringHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The test process's session bus for the life of a test, the one before restored after it.
class BusAddress {
public:
    explicit BusAddress(const std::string& address)
    {
        if (const char* before = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            before_ = before;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    ~BusAddress()
    {
        if (before_.empty())
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        else
            ::setenv("DBUS_SESSION_BUS_ADDRESS", before_.c_str(), 1);
    }

private:
    std::string before_;
};

} // namespace

// libsecret keeps the session bus of its first call for the process: the
// cases without a keyring go through SecretStoreAvailable only, which opens a
// connection of its own each time.
TEST(SecretStore, UnavailableWithoutBusOrKeyringAndSaysWhy)
{
    std::string reason;
    {
        BusAddress none("unix:path=/nonexistent/brieflotse-bus");
        EXPECT_FALSE(SecretStoreAvailable(&reason));
        EXPECT_NE(reason.find("Sitzungsbus"), std::string::npos) << reason;
    }
    if (!KeyringHarness::available())
        GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon missing";
    KeyringHarness keyring;
    std::string error;
    ASSERT_TRUE(keyring.startBus(&error)) << error;
    BusAddress bus(keyring.busAddress());
    EXPECT_FALSE(SecretStoreAvailable(&reason));
    EXPECT_NE(reason.find("Schlüsselbund"), std::string::npos) << reason;
    ASSERT_TRUE(keyring.start(&error)) << error;
    EXPECT_TRUE(SecretStoreAvailable(&reason)) << reason;
    EXPECT_TRUE(reason.empty());
}

TEST(SecretStore, KeepsOneTokenPerIssuerClientAndUserUntilForgotten)
{
    if (!KeyringHarness::available())
        GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon missing";
    KeyringHarness keyring;
    std::string error;
    ASSERT_TRUE(keyring.start(&error)) << error;
    BusAddress bus(keyring.busAddress());

    const TSecretKey anna { "https://login.example.test/common/v2.0", "client-1", "anna@example.test" };
    TSecretKey otherUser = anna;
    otherUser.User = "bert@example.test";
    TSecretKey otherClient = anna;
    otherClient.ClientId = "client-2";

    EXPECT_FALSE(LookUpRefreshToken(anna, &error).has_value());
    EXPECT_TRUE(error.empty()) << error;
    ASSERT_TRUE(StoreRefreshToken(anna, "rt-anna-1", &error)) << error;
    ASSERT_TRUE(StoreRefreshToken(otherUser, "rt-bert", &error)) << error;
    // A newer token replaces the kept one instead of adding a second entry.
    ASSERT_TRUE(StoreRefreshToken(anna, "rt-anna-2", &error)) << error;
    EXPECT_EQ(LookUpRefreshToken(anna, &error).value_or("none"), "rt-anna-2");
    EXPECT_EQ(LookUpRefreshToken(otherUser, &error).value_or("none"), "rt-bert");
    EXPECT_FALSE(LookUpRefreshToken(otherClient, &error).has_value());

    EXPECT_TRUE(ForgetRefreshToken(anna, &error)) << error;
    EXPECT_FALSE(LookUpRefreshToken(anna, &error).has_value());
    EXPECT_EQ(LookUpRefreshToken(otherUser, &error).value_or("none"), "rt-bert");
    // Forgetting what is not there is no failure.
    EXPECT_TRUE(ForgetRefreshToken(anna, &error)) << error;
}
