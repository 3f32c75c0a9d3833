#pragma once

#include "mediamanagerinterface.h"

#include <QString>
#include <QUrl>

namespace QoviLumen {

// Offered by the player under "com.qovi.lumen.pluginInterface.DownloadManager".
class DownloadManagerInterface
{
public:
    virtual ~DownloadManagerInterface() = default;

    // True when the player knows the address already; *out may receive the
    // queued file, retained for the caller.
    virtual bool findQueuedFile(MediaManagerInterface::QueuedFileInterface** out, const QUrl& url) = 0;
    // Queues the address; *out may receive the queued file, retained.
    virtual bool addQueuedFile(MediaManagerInterface::QueuedFileInterface** out, const QUrl& url,
                               const QString& title, const QString& folder) = 0;
};

} // namespace QoviLumen
