#pragma once

#include <QString>

#include <stdexcept>

// Whether the helper is opened at login. Only `enabled` means that it will be.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

// A registration or removal that failed; what() says what failed and why.
class LoginItemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Registers the helper itself to be opened when the user logs in, and removes that registration.
// The platform holds the registration; this type has no instances and no state. A failure is
// written to the helper log ("LoginItem.register failed: {error}" or
// "LoginItem.unregister failed: {error}") and then thrown; success writes nothing.
class LoginItem {
public:
    // For the running executable (`runningExecutablePath()`).
    static LoginItemStatus status();
    static void registerApp();
    static void unregisterApp();

    // For a given executable; an empty path is one that cannot be determined.
    static LoginItemStatus status(const QString& executablePath);
    static void registerApp(const QString& executablePath);

    LoginItem() = delete;
};
