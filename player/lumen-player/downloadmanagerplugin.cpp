#include "downloadmanagerplugin.h"

const char* const DownloadManagerPlugin::kInterfaceId = "com.qovi.lumen.pluginInterface.DownloadManager";

DownloadManagerPlugin::DownloadManagerPlugin(QSE::PluginContext* context) : QSE::Plugin(context) {}

int DownloadManagerPlugin::queryInterface(const QSE::qovi_string& id, void** out)
{
    *out = id == kInterfaceId ? static_cast<QoviLumen::DownloadManagerInterface*>(this) : nullptr;
    return *out ? 0 : 3;
}

bool DownloadManagerPlugin::findQueuedFile(QoviLumen::MediaManagerInterface::QueuedFileInterface** out,
                                           const QUrl& url)
{
    for (const auto& file : m_queue) {
        if (file->url() == url) {
            if (out) {
                file->retain();
                *out = file.get();
            }
            return true;
        }
    }
    return false;
}

bool DownloadManagerPlugin::addQueuedFile(QoviLumen::MediaManagerInterface::QueuedFileInterface** out,
                                          const QUrl& url, const QString&, const QString&)
{
    if (!url.isValid())
        return false;
    m_queue.emplace_back(new QueuedFile(url));
    if (out) {
        m_queue.back()->retain();
        *out = m_queue.back().get();
    }
    if (m_onQueued)
        m_onQueued(url);
    return true;
}

QList<QUrl> DownloadManagerPlugin::queuedAddresses() const
{
    QList<QUrl> addresses;
    for (const auto& file : m_queue)
        addresses.append(file->url());
    return addresses;
}
