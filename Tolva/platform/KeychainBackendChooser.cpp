// Secret Service first, the private file as the fallback; the choice is logged.
#include "platform/KeychainBackendChooser.h"

#include "TolvaCore/FileKeychainBackend.h"
#include "log/Log.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"

namespace tolva {

std::shared_ptr<KeychainBackend> chooseKeychainBackend() {
    std::string whyNot;
    if (auto secretService = SecretServiceKeychainBackend::connect(&whyNot)) {
        Log::auth.info("keychain backend: secret service");
        return secretService;
    }
    auto file = std::make_shared<FileKeychainBackend>(FileKeychainBackend::standardPath());
    Log::auth.info("keychain backend: file path=" + file->path().string() + " reason=" + whyNot);
    return file;
}

} // namespace tolva
