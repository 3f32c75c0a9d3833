#pragma once

#include "mediamanagerinterface.h"

// A file address the player has queued.
class QueuedFile : public QoviLumen::MediaManagerInterface::QueuedFileInterface
{
public:
    explicit QueuedFile(QUrl url) : m_url(std::move(url)) {}
    QUrl url() const override { return m_url; }

private:
    QUrl m_url;
};
