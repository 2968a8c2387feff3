// Appcast parsing with QXmlStreamReader.
#include "update/Appcast.h"

#include "TolvaCore/UpdateFeed.h"
#include "log/Log.h"

#include <QXmlStreamReader>

namespace tolva {

namespace {

bool isOurs(const QXmlStreamReader& xml, QStringView name) {
    return xml.namespaceUri() == QLatin1String(Appcast::xmlNamespace) && xml.name() == name;
}

// Reads one <item>; nothing (with the reason) when it cannot be offered.
std::optional<AppcastItem> readItem(QXmlStreamReader& xml, QString& reason) {
    AppcastItem item;
    bool hasEnclosure = false;
    QString lengthText;
    while (xml.readNextStartElement()) {
        if (isOurs(xml, u"version")) {
            item.version = xml.readElementText().trimmed();
        } else if (isOurs(xml, u"shortVersionString")) {
            item.displayVersion = xml.readElementText().trimmed();
        } else if (isOurs(xml, u"releaseNotesLink")) {
            item.releaseNotesLink = QUrl(xml.readElementText().trimmed());
        } else if (isOurs(xml, u"minimumSystemVersion")) {
            item.minimumSystemVersion = xml.readElementText().trimmed();
        } else if (xml.namespaceUri().isEmpty() && xml.name() == u"enclosure") {
            const auto attributes = xml.attributes();
            hasEnclosure = true;
            item.enclosureUrl =
                QUrl(attributes.value(QStringLiteral("url")).toString().trimmed(), QUrl::StrictMode);
            lengthText = attributes.value(QStringLiteral("length")).toString().trimmed();
            item.type = attributes.value(QStringLiteral("type")).toString();
            item.edSignature =
                attributes.value(QString::fromLatin1(Appcast::xmlNamespace), QStringLiteral("edSignature"))
                    .toString()
                    .trimmed();
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError())
        return std::nullopt;
    if (item.version.isEmpty()) {
        reason = QStringLiteral("no version");
        return std::nullopt;
    }
    if (!hasEnclosure || !item.enclosureUrl.isValid() || item.enclosureUrl.isRelative()) {
        reason = QStringLiteral("no enclosure url");
        return std::nullopt;
    }
    bool ok = false;
    item.length = lengthText.toLongLong(&ok);
    if (!ok || item.length <= 0) {
        reason = QStringLiteral("bad enclosure length");
        return std::nullopt;
    }
    return item;
}

} // namespace

AppcastParseResult Appcast::parse(const QByteArray& data) {
    QXmlStreamReader xml(data);
    Appcast appcast;
    bool sawChannel = false;
    if (!xml.readNextStartElement())
        return {std::nullopt, xml.hasError() ? xml.errorString() : QStringLiteral("empty document")};
    if (xml.name() != u"rss" || xml.attributes().value(QStringLiteral("version")) != u"2.0")
        return {std::nullopt, QStringLiteral("not an RSS 2.0 document")};
    while (xml.readNextStartElement()) {
        if (xml.name() != u"channel") {
            xml.skipCurrentElement();
            continue;
        }
        sawChannel = true;
        while (xml.readNextStartElement()) {
            if (xml.name() != u"item") {
                xml.skipCurrentElement();
                continue;
            }
            QString reason;
            auto item = readItem(xml, reason);
            if (item)
                appcast.items.push_back(std::move(*item));
            else if (!xml.hasError())
                Log::update.error("appcast item rejected reason=" + reason.toStdString());
        }
    }
    // Whatever follows the root element must be well-formed too.
    while (!xml.atEnd() && !xml.hasError())
        xml.readNext();
    if (xml.hasError())
        return {std::nullopt, QStringLiteral("line %1: %2").arg(xml.lineNumber()).arg(xml.errorString())};
    if (!sawChannel)
        return {std::nullopt, QStringLiteral("no channel")};
    return {std::move(appcast), {}};
}

std::optional<AppcastItem> Appcast::newestAfter(const QString& currentVersion) const {
    std::optional<AppcastItem> best;
    const std::string current = currentVersion.toStdString();
    for (const auto& item : items) {
        const std::string version = item.version.toStdString();
        if (UpdateVersion::compare(version, current) <= 0)
            continue;
        if (!best || UpdateVersion::compare(version, best->version.toStdString()) > 0)
            best = item;
    }
    return best;
}

} // namespace tolva
