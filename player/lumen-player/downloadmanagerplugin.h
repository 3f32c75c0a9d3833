#pragma once

#include "downloadmanagerinterface.h"
#include "plugin.h"
#include "queuedfile.h"
#include "refcountedptr.h"

#include <QList>
#include <QUrl>

#include <functional>
#include <vector>

// The player's download manager, offered to plug-ins as a built-in plug-in.
class DownloadManagerPlugin : public QSE::Plugin, public QoviLumen::DownloadManagerInterface
{
public:
    static const char* const kInterfaceId;

    explicit DownloadManagerPlugin(QSE::PluginContext* context);

    int queryInterface(const QSE::qovi_string& id, void** out) override;
    bool findQueuedFile(QoviLumen::MediaManagerInterface::QueuedFileInterface** out, const QUrl& url) override;
    bool addQueuedFile(QoviLumen::MediaManagerInterface::QueuedFileInterface** out, const QUrl& url,
                       const QString& title, const QString& folder) override;

    QList<QUrl> queuedAddresses() const;
    // Told of every address queued.
    void setQueuedHandler(std::function<void(const QUrl&)> handler) { m_onQueued = std::move(handler); }

private:
    std::vector<qvtl::RefCountedPtr<QueuedFile>> m_queue;
    std::function<void(const QUrl&)> m_onQueued;
};
