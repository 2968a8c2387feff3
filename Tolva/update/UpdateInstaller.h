// Installing a verified update where the program owns its files: the archive (a .tar.gz of
// files relative to the install prefix, e.g. bin/tolva-screen) is unpacked into a staging
// folder; at quit each file is swapped in with an atomic rename, the replaced files are kept,
// and the new program must answer "--version" with the new version once or everything is
// put back. Files that belong to the package manager (/usr, a package marker, files not ours
// to write) are never touched.
#pragma once

#include "update/UpdateError.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <optional>

namespace tolva {

class UpdateInstaller {
public:
    struct Location {
        QString prefix;     // the install prefix, e.g. ~/.local
        QString executable; // the program, relative to the prefix, e.g. bin/tolva-screen
        QString stateDir;   // staging folder, the previous version's files, the install journal
    };
    // Installed by a package: the packaging installs this file under the prefix.
    static constexpr const char* packageMarker = "share/tolva-screen/package-managed";

    // Where the running program lives; a program outside a …/bin folder (a build tree) is
    // treated as not owning its files.
    static Location ofRunningProgram();

    explicit UpdateInstaller(Location location,
                             std::chrono::milliseconds probeTimeLimit = std::chrono::seconds(10));

    const Location& location() const { return location_; }

    // True when updates may replace the program's files: a user-writable prefix outside /usr,
    // without the package marker.
    bool ownsFiles() const;

    struct Staged {
        QString version;
        QString displayVersion;
    };
    // Unpacks an archive whose signature was already verified. Refuses archives with links,
    // special files or without the program's executable, and a program that does not answer
    // "--version" with `version` where it was unpacked; leaves nothing behind on failure.
    std::optional<UpdateError> stage(const QByteArray& archive, const QString& version,
                                     const QString& displayVersion);
    std::optional<Staged> staged() const;
    void discardStaged();

    // Swaps the staged files in (at quit), once the staged program has answered "--version"
    // with the staged version again. Nothing staged is success. On failure the previous files
    // are back in place (a staged program of another version leaves them untouched).
    std::optional<UpdateError> installStaged();

    // At start: the first start of the new version drops the kept previous files; an install
    // that was cut off half-way is rolled back.
    void confirmLaunch(const QString& runningVersion);

    // The version the program at `path` reports for "--version", if it answers in time.
    static std::optional<QString> probeVersion(const QString& path, std::chrono::milliseconds timeLimit);

private:
    QString stagingDir() const;
    QString previousDir() const;
    QString journalPath() const;
    QString manifestPath() const;
    void writeJournal(const QJsonObject& journal) const;
    std::optional<QJsonObject> readJournal() const;
    void rollBack(const QJsonObject& journal) const;
    // Why the staged program is not `announced` (logged), or nothing when it says it is.
    std::optional<QString> stagedVersionRefusal(const QString& announced) const;

    Location location_;
    std::chrono::milliseconds probeTimeLimit_;
};

} // namespace tolva
