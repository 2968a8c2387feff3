// Staging, swapping and rolling back update files.
#include "update/UpdateInstaller.h"

#include "log/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include <cstdio>

namespace tolva {

namespace {

constexpr const char* newSuffix = ".tolva-new";

bool isUnderSystemPrefix(const QString& path) {
    if (path == QLatin1String("/usr/local") || path.startsWith(QLatin1String("/usr/local/")))
        return false;
    return path == QLatin1String("/usr") || path.startsWith(QLatin1String("/usr/")) ||
           path == QLatin1String("/") || path.startsWith(QLatin1String("/opt/")) ||
           path.startsWith(QLatin1String("/snap/"));
}

// Copies a file next to `target` and renames it over the target: the target is always
// either the old or the new file, never half of one.
bool replaceAtomically(const QString& source, const QString& target) {
    const QString temporary = target + QLatin1String(newSuffix);
    QFile::remove(temporary);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(source, temporary))
        return false;
    QFile(temporary).setPermissions(QFile(source).permissions());
    if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}

bool copyKeepingMode(const QString& source, const QString& target) {
    QFile::remove(target);
    return QDir().mkpath(QFileInfo(target).absolutePath()) && QFile::copy(source, target);
}

QStringList stringList(const QJsonValue& value) {
    QStringList list;
    for (const auto& item : value.toArray())
        list << item.toString();
    return list;
}

// Runs tar; its standard output when it succeeds.
std::optional<QByteArray> runTar(const QStringList& arguments) {
    QProcess tar;
    tar.start(QStringLiteral("tar"), arguments);
    if (!tar.waitForFinished(60000) || tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0)
        return std::nullopt;
    return tar.readAllStandardOutput();
}

// Why the archive cannot be unpacked: a member that is not a plain file or folder, or whose
// name leaves the folder it is unpacked into. Nothing when every member is fine.
std::optional<QString> refusedMember(const QString& archive) {
    const auto verbose = runTar({QStringLiteral("-tvzf"), archive});
    const auto names = runTar({QStringLiteral("-tzf"), archive});
    if (!verbose || !names)
        return QStringLiteral("not a readable .tar.gz");
    for (const QByteArray& line : verbose->split('\n')) {
        if (!line.isEmpty() && line[0] != '-' && line[0] != 'd')
            return QStringLiteral("the archive holds a link or special file: ") + QString::fromUtf8(line);
    }
    for (const QByteArray& name : names->split('\n')) {
        if (name.startsWith('/') || name == ".." || name.startsWith("../") || name.contains("/../") ||
            name.endsWith("/.."))
            return QStringLiteral("the archive names a path outside its folder: ") + QString::fromUtf8(name);
    }
    return std::nullopt;
}

} // namespace

UpdateInstaller::Location UpdateInstaller::ofRunningProgram() {
    const QFileInfo program(QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    const QDir bin = program.dir();
    Location location;
    location.stateDir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                        QStringLiteral("/tolva-screen/update");
    if (bin.dirName() == QLatin1String("bin")) {
        location.prefix = QFileInfo(bin.absolutePath() + QStringLiteral("/..")).canonicalFilePath();
        location.executable = QStringLiteral("bin/") + program.fileName();
    } else {
        location.prefix = bin.absolutePath();
        location.executable = program.fileName();
    }
    return location;
}

UpdateInstaller::UpdateInstaller(Location location, std::chrono::milliseconds probeTimeLimit)
    : location_(std::move(location)), probeTimeLimit_(probeTimeLimit) {}

QString UpdateInstaller::stagingDir() const {
    return location_.stateDir + QStringLiteral("/staging");
}
QString UpdateInstaller::previousDir() const {
    return location_.stateDir + QStringLiteral("/previous");
}
QString UpdateInstaller::journalPath() const {
    return location_.stateDir + QStringLiteral("/install.json");
}
QString UpdateInstaller::manifestPath() const {
    return location_.stateDir + QStringLiteral("/staged.json");
}

bool UpdateInstaller::ownsFiles() const {
    const QString prefix = QFileInfo(location_.prefix).canonicalFilePath();
    if (prefix.isEmpty() || isUnderSystemPrefix(prefix))
        return false;
    if (!location_.executable.startsWith(QLatin1String("bin/")))
        return false;
    if (QFileInfo::exists(prefix + QLatin1Char('/') + QLatin1String(packageMarker)))
        return false;
    const QFileInfo program(prefix + QLatin1Char('/') + location_.executable);
    const QFileInfo bin(program.absolutePath());
    return program.isFile() && program.isWritable() && bin.isWritable();
}

std::optional<UpdateError> UpdateInstaller::stage(const QByteArray& archive, const QString& version,
                                                  const QString& displayVersion) {
    discardStaged();
    const auto failed = [this](const QString& why) {
        discardStaged();
        return UpdateError{UpdateError::Code::unpackFailed, why};
    };
    if (!QDir().mkpath(stagingDir()))
        return failed(QStringLiteral("cannot create the staging folder"));
    const QString archivePath = location_.stateDir + QStringLiteral("/update.tar.gz");
    {
        QSaveFile file(archivePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(archive) != archive.size() || !file.commit())
            return failed(QStringLiteral("cannot write the archive"));
    }
    // Only plain files and folders below the prefix are unpacked: the listing is checked first,
    // so no link can point a later member outside the staging folder.
    if (auto refusal = refusedMember(archivePath)) {
        QFile::remove(archivePath);
        return failed(*refusal);
    }
    const auto unpacked = runTar({QStringLiteral("-xzf"), archivePath, QStringLiteral("-C"), stagingDir(),
                                  QStringLiteral("--no-same-owner"), QStringLiteral("--no-overwrite-dir")});
    QFile::remove(archivePath);
    if (!unpacked)
        return failed(QStringLiteral("tar could not unpack the archive"));

    QJsonArray files;
    QDirIterator it(stagingDir(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (entry.isSymLink() || (!entry.isDir() && !entry.isFile()))
            return failed(QStringLiteral("the archive holds a link or special file: ") + entry.fileName());
        if (entry.isFile())
            files.append(QDir(stagingDir()).relativeFilePath(entry.filePath()));
    }
    const QFileInfo program(stagingDir() + QLatin1Char('/') + location_.executable);
    if (!program.isFile() || !program.isExecutable())
        return failed(QStringLiteral("the archive has no ") + location_.executable);
    // A signed archive is not yet the announced version: an older release labelled as newer
    // is refused here, before it is offered, installed or run from the prefix.
    if (auto refusal = stagedVersionRefusal(version)) {
        discardStaged();
        return UpdateError{UpdateError::Code::notTheAnnouncedVersion, *refusal};
    }

    QJsonObject manifest{{QStringLiteral("version"), version},
                         {QStringLiteral("displayVersion"), displayVersion},
                         {QStringLiteral("files"), files}};
    QSaveFile file(manifestPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(manifest).toJson()) < 0 ||
        !file.commit())
        return failed(QStringLiteral("cannot write the staging manifest"));
    return std::nullopt;
}

std::optional<UpdateInstaller::Staged> UpdateInstaller::staged() const {
    QFile file(manifestPath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonObject manifest = QJsonDocument::fromJson(file.readAll()).object();
    const QString version = manifest.value(QStringLiteral("version")).toString();
    if (version.isEmpty() || !QFileInfo(stagingDir()).isDir())
        return std::nullopt;
    return Staged{version, manifest.value(QStringLiteral("displayVersion")).toString(version)};
}

void UpdateInstaller::discardStaged() {
    QFile::remove(manifestPath());
    QDir(stagingDir()).removeRecursively();
}

void UpdateInstaller::writeJournal(const QJsonObject& journal) const {
    QSaveFile file(journalPath());
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(journal).toJson());
        file.commit();
    }
}

std::optional<QJsonObject> UpdateInstaller::readJournal() const {
    QFile file(journalPath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

void UpdateInstaller::rollBack(const QJsonObject& journal) const {
    const QString prefix = location_.prefix + QLatin1Char('/');
    for (const QString& path : stringList(journal.value(QStringLiteral("replaced")))) {
        const QString kept = previousDir() + QLatin1Char('/') + path;
        if (QFileInfo::exists(kept))
            replaceAtomically(kept, prefix + path);
    }
    for (const QString& path : stringList(journal.value(QStringLiteral("created"))))
        QFile::remove(prefix + path);
    QDir(previousDir()).removeRecursively();
    QFile::remove(journalPath());
    Log::update.error("rolled back version=" +
                      journal.value(QStringLiteral("version")).toString().toStdString());
}

std::optional<UpdateError> UpdateInstaller::installStaged() {
    const auto staging = staged();
    if (!staging)
        return std::nullopt;
    if (!ownsFiles()) {
        discardStaged();
        return UpdateError{UpdateError::Code::installFailed,
                           QStringLiteral("the files are not ours to replace")};
    }
    // Asked again: the staged files may have changed since they were unpacked.
    if (auto refusal = stagedVersionRefusal(staging->version)) {
        discardStaged();
        return UpdateError{UpdateError::Code::notTheAnnouncedVersion, *refusal};
    }
    QFile manifestFile(manifestPath());
    manifestFile.open(QIODevice::ReadOnly);
    const QStringList files =
        stringList(QJsonDocument::fromJson(manifestFile.readAll()).object().value(QStringLiteral("files")));
    manifestFile.close();

    const QString prefix = location_.prefix + QLatin1Char('/');
    QJsonArray replaced, created;
    for (const QString& path : files)
        (QFileInfo::exists(prefix + path) ? replaced : created).append(path);
    QJsonObject journal{{QStringLiteral("version"), staging->version},
                        {QStringLiteral("state"), QStringLiteral("swapping")},
                        {QStringLiteral("replaced"), replaced},
                        {QStringLiteral("created"), created}};
    QDir(previousDir()).removeRecursively();
    // The previous files are all kept before the first one is replaced.
    for (const auto& path : replaced) {
        if (!copyKeepingMode(prefix + path.toString(), previousDir() + QLatin1Char('/') + path.toString())) {
            QDir(previousDir()).removeRecursively();
            discardStaged();
            return UpdateError{UpdateError::Code::installFailed,
                               QStringLiteral("cannot keep the previous ") + path.toString()};
        }
    }
    writeJournal(journal);
    for (const QString& path : files) {
        if (!replaceAtomically(stagingDir() + QLatin1Char('/') + path, prefix + path)) {
            rollBack(journal);
            discardStaged();
            return UpdateError{UpdateError::Code::installFailed, QStringLiteral("cannot replace ") + path};
        }
    }
    journal[QStringLiteral("state")] = QStringLiteral("installed");
    writeJournal(journal);
    discardStaged();

    const auto answer = probeVersion(prefix + location_.executable, probeTimeLimit_);
    if (answer != staging->version) {
        rollBack(journal);
        return UpdateError{UpdateError::Code::newVersionDidNotStart,
                           QStringLiteral("the new program answered ") +
                               answer.value_or(QStringLiteral("nothing"))};
    }
    Log::update.info("installed version=" + staging->version.toStdString());
    return std::nullopt;
}

std::optional<QString> UpdateInstaller::stagedVersionRefusal(const QString& announced) const {
    const auto answer = probeVersion(stagingDir() + QLatin1Char('/') + location_.executable, probeTimeLimit_);
    if (answer == announced)
        return std::nullopt;
    const QString why = QStringLiteral("the downloaded program answered ") +
                        answer.value_or(QStringLiteral("nothing")) + QStringLiteral(", not ") + announced;
    Log::update.error("refused version=" + announced.toStdString() + ": " + why.toStdString());
    return why;
}

void UpdateInstaller::confirmLaunch(const QString& runningVersion) {
    const auto journal = readJournal();
    if (!journal)
        return;
    if (journal->value(QStringLiteral("state")).toString() != QLatin1String("installed")) {
        rollBack(*journal);
        return;
    }
    if (journal->value(QStringLiteral("version")).toString() == runningVersion)
        Log::update.info("new version started version=" + runningVersion.toStdString());
    QDir(previousDir()).removeRecursively();
    QFile::remove(journalPath());
}

std::optional<QString> UpdateInstaller::probeVersion(const QString& path,
                                                     std::chrono::milliseconds timeLimit) {
    QProcess program;
    program.setProcessChannelMode(QProcess::SeparateChannels);
    program.start(path, {QStringLiteral("--version")});
    if (!program.waitForFinished(static_cast<int>(timeLimit.count()))) {
        program.kill();
        program.waitForFinished(1000);
        return std::nullopt;
    }
    if (program.exitStatus() != QProcess::NormalExit || program.exitCode() != 0)
        return std::nullopt;
    // "tolva-screen 1.2.0"
    const QStringList words =
        QString::fromUtf8(program.readAllStandardOutput()).simplified().split(QLatin1Char(' '));
    if (words.size() != 2 || words[0] != QLatin1String("tolva-screen"))
        return std::nullopt;
    return words[1];
}

} // namespace tolva
