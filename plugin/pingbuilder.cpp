#include "pingbuilder.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

namespace QoviLumen {

const char* const PingBuilder::kPingHost = "ping.qovi.com";

namespace {

QString platformWord(int platform)
{
    switch (platform) {
    case 1: return QStringLiteral("mac");
    case 2: return QStringLiteral("win");
    }
    return QString();
}

QString actionWord(ACTION_TYPE action)
{
    switch (action) {
    case REGISTER_ACTION: return QStringLiteral("Register");
    case DEREGISTER_ACTION: return QStringLiteral("Deregister");
    case IMPORT_ACTION: return QStringLiteral("Import");
    }
    return QString();
}

QString cloudWord(CLOUD_TYPE cloud)
{
    switch (cloud) {
    case DROPBOX_CLOUD: return QStringLiteral("Dropbox");
    case GDRIVE_CLOUD: return QStringLiteral("GoogleDrive");
    }
    return QStringLiteral("Unknown");
}

// The container word of an imported file: the suffix of an address's path
// (its query and fragment may carry a capability for the file), and only a
// short plain word, so that nothing else of an address leaves in a ping.
QString containerOf(const QString& info)
{
    const QUrl address(info, QUrl::StrictMode);
    const QString path = address.isValid() && !address.scheme().isEmpty() ? address.path() : info;
    const QString suffix = QFileInfo(path).suffix();
    static const QRegularExpression word(QStringLiteral("^[A-Za-z0-9]{1,8}$"));
    return word.match(suffix).hasMatch() ? suffix : QString();
}

} // namespace

QString PingBuilder::address(int platform, ACTION_TYPE action, CLOUD_TYPE cloud, const std::string& geo,
                             const QString& info)
{
    const QString platformText = platformWord(platform);
    const QString actionText = actionWord(action);
    if (platformText.isEmpty() || actionText.isEmpty())
        return QString();

    QString url = QStringLiteral("http://") + QLatin1String(kPingHost)
        + QStringLiteral("/hint/q10-%1player-cloud-connect-%2-%3").arg(platformText, actionText, cloudWord(cloud));
    if (action == REGISTER_ACTION || action == DEREGISTER_ACTION) {
        url += QStringLiteral("-Geo-%1");
        url = url.arg(QString::fromStdString(geo), 0);
    } else {
        const QString suffix = containerOf(info);
        if (!suffix.isEmpty()) {
            url += QStringLiteral("-Container-%1");
            url = url.arg(suffix);
        }
    }
    return url;
}

} // namespace QoviLumen
