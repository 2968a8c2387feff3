// The update feed's format: an RSS 2.0 channel whose items each describe one release and its
// signed archive.
//
//   <rss version="2.0" xmlns:tolva="https://tolva.org/xmlns/update/1">
//     <channel>
//       <item>
//         <tolva:version>1.2.0</tolva:version>                  (compared to decide what is newer)
//         <tolva:shortVersionString>1.2</tolva:shortVersionString>  (shown to the user)
//         <tolva:releaseNotesLink>https://…</tolva:releaseNotesLink>
//         <tolva:minimumSystemVersion>…</tolva:minimumSystemVersion>
//         <enclosure url="https://…/tolva-screen-1.2.0.tar.gz" length="123456"
//                    type="application/gzip" tolva:edSignature="BASE64"/>
//       </item>
//     </channel>
//   </rss>
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

namespace tolva {

struct AppcastItem {
    QString version;
    QString displayVersion; // the short version string, else the version
    QUrl releaseNotesLink;
    QString minimumSystemVersion;
    QUrl enclosureUrl;
    qint64 length = 0;
    QString type;
    QString edSignature; // Base64 Ed25519 signature of the whole archive; empty when absent

    QString displayVersionString() const { return displayVersion.isEmpty() ? version : displayVersion; }
    friend bool operator==(const AppcastItem&, const AppcastItem&) = default;
};

struct Appcast {
    static constexpr const char* xmlNamespace = "https://tolva.org/xmlns/update/1";

    std::vector<AppcastItem> items;

    // Parses a feed. A document that is not well-formed XML or not an RSS 2.0 channel fails
    // with a reason; an item without a version or a usable enclosure is left out with a log line.
    static struct AppcastParseResult parse(const QByteArray& xml);

    // The newest item strictly newer than `currentVersion`, if any.
    std::optional<AppcastItem> newestAfter(const QString& currentVersion) const;
};

struct AppcastParseResult {
    std::optional<Appcast> appcast;
    QString error; // why the feed was refused
};

} // namespace tolva
