// Importing and removing the overlay image.
#include "overlay/ImageStore.h"

#include "TolvaCore/XdgPaths.h"
#include "log/Log.h"

#include <QUuid>

namespace tolva::ImageStore {

namespace fs = std::filesystem;

fs::path directory() {
    return xdgDataHome() / "Tolva";
}

std::string importImage(const fs::path& source) {
    fs::create_directories(directory());
    std::string extension = source.extension().string();
    extension = extension.empty() ? "img" : extension.substr(1);
    const std::string uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    const std::string name = "overlay-" + uuid + "." + extension;
    fs::copy_file(source, directory() / name);
    Log::ui.info("imported overlay image " + name);
    return name;
}

void remove(const std::string& name) {
    std::error_code ignored;
    if (!name.empty() && name.find('/') == std::string::npos)
        fs::remove(directory() / name, ignored);
}

} // namespace tolva::ImageStore
