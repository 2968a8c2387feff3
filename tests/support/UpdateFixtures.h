// What the update tests publish: an Ed25519 signing key made for the test, signed archives of
// a fake new version, and feeds that list them.
#pragma once

#include "TolvaCore/Base64.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>

#include <memory>
#include <stdexcept>

namespace tolva::test {

class SigningKey {
public:
    SigningKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {
        if (!key_)
            throw std::runtime_error("no Ed25519 key");
    }

    QString publicKeyBase64() const {
        Bytes raw(32);
        std::size_t length = raw.size();
        EVP_PKEY_get_raw_public_key(key_.get(), raw.data(), &length);
        return QString::fromStdString(base64Encode(raw));
    }

    QString sign(const QByteArray& data) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        Bytes signature(64);
        std::size_t length = signature.size();
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get());
        EVP_DigestSign(context.get(), signature.data(), &length,
                       reinterpret_cast<const unsigned char*>(data.constData()), data.size());
        return QString::fromStdString(base64Encode(signature));
    }

    // The private key as PEM, the form release tools read.
    bool writePem(const QString& path) const {
        std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "w");
        if (!file)
            return false;
        const bool written =
            PEM_write_PrivateKey(file, key_.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
        std::fclose(file);
        return written;
    }

private:
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_;
};

// A .tar.gz of an install prefix whose bin/tolva-screen is a script answering "--version"
// with `reportedVersion`; when `starts` is false it answers only where it was unpacked (the
// update's staging folder) and fails once installed, as a program missing something the
// prefix lacks would.
inline QByteArray makeReleaseArchive(const QString& reportedVersion, bool starts = true) {
    QTemporaryDir tree;
    QDir(tree.path()).mkpath(QStringLiteral("bin"));
    QDir(tree.path()).mkpath(QStringLiteral("share/tolva-screen"));
    QFile program(tree.path() + QStringLiteral("/bin/tolva-screen"));
    program.open(QIODevice::WriteOnly);
    const QByteArray answer = "echo \"tolva-screen " + reportedVersion.toUtf8() + "\"\n";
    program.write(starts ? "#!/bin/sh\n" + answer
                         : "#!/bin/sh\ncase \"$0\" in */staging/*) ;; *) exit 3 ;; esac\n" + answer);
    program.close();
    program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                           QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    QFile notes(tree.path() + QStringLiteral("/share/tolva-screen/release.txt"));
    notes.open(QIODevice::WriteOnly);
    notes.write("release " + reportedVersion.toUtf8() + "\n");
    notes.close();
    QProcess tar;
    tar.start(QStringLiteral("tar"), {QStringLiteral("-czf"), QStringLiteral("-"), QStringLiteral("-C"),
                                      tree.path(), QStringLiteral("bin"), QStringLiteral("share")});
    tar.waitForFinished(30000);
    return tar.readAllStandardOutput();
}

struct FeedItem {
    QString version;
    QString displayVersion;
    QString url;
    qint64 length = 0;
    QString signature; // empty: no signature attribute
};

inline QByteArray makeFeed(const std::vector<FeedItem>& items) {
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                     "<rss version=\"2.0\" xmlns:tolva=\"https://tolva.org/xmlns/update/1\">\n"
                     "<channel><title>Tolva Screen</title>\n";
    for (const auto& item : items) {
        xml += "<item><title>Version " + item.displayVersion.toUtf8() + "</title>\n";
        xml += "<tolva:version>" + item.version.toUtf8() + "</tolva:version>\n";
        xml += "<tolva:shortVersionString>" + item.displayVersion.toUtf8() + "</tolva:shortVersionString>\n";
        xml += "<tolva:releaseNotesLink>https://tolva.invalid/notes/" + item.version.toUtf8() +
               "</tolva:releaseNotesLink>\n";
        xml += "<tolva:minimumSystemVersion>Debian 12</tolva:minimumSystemVersion>\n";
        xml += "<enclosure url=\"" + item.url.toUtf8() + "\" length=\"" + QByteArray::number(item.length) +
               "\" type=\"application/gzip\"";
        if (!item.signature.isEmpty())
            xml += " tolva:edSignature=\"" + item.signature.toUtf8() + "\"";
        xml += "/></item>\n";
    }
    xml += "</channel></rss>\n";
    return xml;
}

} // namespace tolva::test
