// Secret Service first, the private file as the fallback; the choice is logged.
#include "platform/KeychainBackendChooser.h"

#include "TolvaCore/FileKeychainBackend.h"
#include "log/Log.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"

#include <sys/stat.h>

#include <cstdlib>

namespace tolva {

namespace {

constexpr const char* noBus = "disabled:";

std::shared_ptr<FileKeychainBackend> fileBackend() {
    auto file = std::make_shared<FileKeychainBackend>(FileKeychainBackend::standardPath());
    file->onMovedAside = [](const std::string& why, const std::filesystem::path& aside) {
        Log::auth.error("PIN file replaced: " + why + "; the old file was moved aside to " + aside.string());
    };
    return file;
}

} // namespace

std::optional<std::string> pinSessionBusAddress() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return std::string_view(address) == noBus ? std::nullopt : std::optional<std::string>(address);
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string socket = std::string(runtime) + "/bus";
        struct stat st {};
        if (::stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            const std::string pinned = "unix:path=" + socket;
            ::setenv("DBUS_SESSION_BUS_ADDRESS", pinned.c_str(), 1);
            return pinned;
        }
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", noBus, 1);
    return std::nullopt;
}

std::shared_ptr<KeychainBackend> chooseKeychainBackend() {
    std::string whyNot;
    if (!pinSessionBusAddress()) {
        auto file = fileBackend();
        Log::auth.info("keychain backend: file path=" + file->path().string() +
                       " reason=no session bus (DBUS_SESSION_BUS_ADDRESS unset and no $XDG_RUNTIME_DIR/bus)");
        return file;
    }
    if (auto secretService = SecretServiceKeychainBackend::connect(&whyNot)) {
        Log::auth.info("keychain backend: secret service");
        return secretService;
    }
    auto file = fileBackend();
    Log::auth.info("keychain backend: file path=" + file->path().string() + " reason=" + whyNot);
    return file;
}

} // namespace tolva
