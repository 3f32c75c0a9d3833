#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>

namespace QoviLumen {

// Sends pings over HTTP. Lives as a child of the application object, so its
// network manager goes before the application does.
class PingSender : public QObject
{
    Q_OBJECT
public:
    // Null when there is no application object to live under.
    static PingSender* instance();

    bool send(const QUrl& url, bool waitForReply);

private:
    explicit PingSender(QObject* parent);

    QNetworkAccessManager m_manager;
};

} // namespace QoviLumen
