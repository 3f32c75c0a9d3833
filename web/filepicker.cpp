#include "filepicker.h"

#include "cloudlog.h"

#include <QRegularExpression>
#include <QUrl>

FilePicker::FilePicker(QObject* parent) : QObject(parent) {}

void FilePicker::setAppKey(const QString& appKey)
{
    m_appKey = appKey;
}

void FilePicker::setSupportedExtensions(const QStringList& extensions)
{
    m_supportedExtensions = extensions;
}

void FilePicker::setDownloadHosts(const QStringList& hosts)
{
    m_downloadHosts = hosts;
}

bool FilePicker::acceptable(const QVariant& entry) const
{
    if (entry.type() != QVariant::Map)
        return false;
    const QVariantMap map = entry.toMap();
    if (map.size() > kMaxEntryFields)
        return false;
    for (const QVariant& field : map) {
        const bool plain = field.type() == QVariant::String || field.type() == QVariant::Double
            || field.type() == QVariant::Int || field.type() == QVariant::LongLong || field.type() == QVariant::Bool
            || !field.isValid();
        if (!plain || (field.type() == QVariant::String && field.toString().size() > kMaxFieldLength))
            return false;
    }
    const QUrl link(map.value(QStringLiteral("filelink")).toString(), QUrl::StrictMode);
    if (!link.isValid() || link.scheme() != QLatin1String("https") || !link.userInfo().isEmpty()
        || !m_downloadHosts.contains(link.host(QUrl::FullyDecoded).toLower()))
        return false;
    // The identifier becomes a path segment of the player's address.
    static const QRegularExpression plainId(QStringLiteral("^[A-Za-z0-9_-]{1,256}$"));
    const QVariant id = map.value(QStringLiteral("id"));
    return !id.isValid() || plainId.match(id.toString()).hasMatch();
}

// A page is somebody else's code: only what a chooser could honestly hand
// over goes on, and never more than a person picks.
void FilePicker::onFileSelected(const QVariantList& files)
{
    QVariantList accepted;
    int refused = 0;
    for (const QVariant& entry : files) {
        if (accepted.size() == kMaxChosenFiles)
            break;
        if (acceptable(entry))
            accepted.append(entry);
        else
            ++refused;
    }
    const int dropped = int(files.size()) - accepted.size() - refused;
    if (refused > 0 || dropped > 0)
        CloudLog::instance()->logLine(LOG_WRN, "Chooser: %d entries refused, %d beyond the first %d dropped", refused,
                                      dropped, kMaxChosenFiles);
    if (!accepted.isEmpty())
        emit openSelectedFiles(accepted);
}

void FilePicker::chooserClosed()
{
    emit closed();
}

QString FilePicker::appKey() const
{
    return m_appKey;
}

QStringList FilePicker::supportedExtensions() const
{
    return m_supportedExtensions;
}
