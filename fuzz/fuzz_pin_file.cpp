// The private PIN file (pin.json) as the file keychain reads it from disk: any contents give
// an item, "not found" or one of the backend's statuses, never a crash.
#include "TolvaCore/FileKeychainBackend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>

using namespace tolva;

namespace {

std::filesystem::path pinFile() {
    static const std::filesystem::path file = [] {
        const char* base = std::getenv("TMPDIR");
        std::string dir = std::string(base && *base ? base : "/tmp") + "/tolva-fuzz-pin-XXXXXX";
        if (!::mkdtemp(dir.data()))
            std::abort();
        return std::filesystem::path(dir) / "pin.json";
    }();
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto file = pinFile();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        std::abort();
    if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();
    ::close(fd);
    FileKeychainBackend backend(file);
    const auto result = backend.copyMatching({"org.tolva.Screen.pin", "pin"});
    switch (result.status) {
    case KeychainBackend::success:
        if (!result.data)
            std::abort();
        break;
    case KeychainBackend::itemNotFound:
    case FileKeychainBackend::corruptFile:
    case FileKeychainBackend::ioFailure:
        if (result.data)
            std::abort();
        break;
    default:
        std::abort(); // the mode is 0600 and the owner is us: no other status is possible
    }
    return 0;
}
