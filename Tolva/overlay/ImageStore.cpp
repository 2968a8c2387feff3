// Importing, removing and loading the overlay image.
#include "overlay/ImageStore.h"

#include "TolvaCore/AtomicFile.h"
#include "TolvaCore/XdgPaths.h"
#include "log/Log.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QMetaObject>
#include <QThreadPool>
#include <QUuid>

namespace tolva::ImageStore {

namespace fs = std::filesystem;

fs::path directory() {
    return xdgDataHome() / "Tolva";
}

std::string importImage(const fs::path& source) {
    if (auto why = createPrivateDirectories(directory()))
        throw fs::filesystem_error(*why, directory(), std::make_error_code(std::errc::io_error));
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

Loaded load(const std::string& name) {
    // Only a name the import made: never a path elsewhere (an absolute name would replace the
    // folder altogether).
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        return {{}, "not a file name of the image folder"};
    auto read = readRegularFile(directory() / name, maxFileSize);
    if (read.status != BoundedRead::Status::ok)
        return {{}, read.error};
    const QByteArray bytes = QByteArray::fromRawData(read.contents.data(), qsizetype(read.contents.size()));
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The header tells the size: refuse before a single pixel is decoded.
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > maxSide || size.height() > maxSide ||
                           static_cast<long long>(size.width()) * size.height() > maxPixels))
        return {{},
                "image is " + std::to_string(size.width()) + "x" + std::to_string(size.height()) +
                    " pixels, more than " + std::to_string(maxSide) + " a side or " +
                    std::to_string(maxPixels) + " in all"};
    QImage image = reader.read();
    if (image.isNull())
        return {{}, "cannot be decoded: " + reader.errorString().toStdString()};
    if (image.width() > maxSide || image.height() > maxSide)
        return {{}, "image is larger than " + std::to_string(maxSide) + " pixels a side"};
    return {std::move(image), {}};
}

std::string identity(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        return {};
    std::error_code error;
    const fs::path path = directory() / name;
    const auto status = fs::symlink_status(path, error);
    if (error || !fs::is_regular_file(status))
        return {};
    const auto size = fs::file_size(path, error);
    const auto changed = fs::last_write_time(path, error);
    if (error)
        return {};
    return name + ":" + std::to_string(size) + ":" + std::to_string(changed.time_since_epoch().count());
}

void loadInBackground(const std::string& name, std::function<void(Loaded)> done) {
    QObject* mainThread = QCoreApplication::instance();
    QThreadPool::globalInstance()->start([name, done = std::move(done), mainThread]() mutable {
        auto loaded = std::make_shared<Loaded>(load(name));
        QMetaObject::invokeMethod(
            mainThread, [loaded, done = std::move(done)] { done(std::move(*loaded)); }, Qt::QueuedConnection);
    });
}

} // namespace tolva::ImageStore
