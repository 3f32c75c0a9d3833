#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>

#include <functional>

namespace QoviLumen {

// Sends pings over HTTP. Lives as a child of the application object, so its
// network manager goes before the application does.
class PingSender : public QObject
{
    Q_OBJECT
public:
    // The ping's ending in words: "answered 204", "failed: <reason>".
    using Ending = std::function<void(const QString& outcome)>;

    // Null when there is no application object to live under.
    static PingSender* instance();

    // Sends a GET; ending is called once, when it ended (at the latest
    // before this returns, when waitForReply is set). Answers whether it
    // was answered, or only whether it went out without waitForReply.
    bool send(const QUrl& url, bool waitForReply, Ending ending);

private:
    explicit PingSender(QObject* parent);

    QNetworkAccessManager m_manager;
};

} // namespace QoviLumen
