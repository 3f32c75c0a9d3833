#pragma once

#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// Where a sign-in in the user's browser comes back: a listener on
// 127.0.0.1 only, which reads each browser request (bounded in size and
// time) and hands a GET of its path to its owner, who answers it with a
// short page. Connections close with the listener.
class LoopbackListener : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxRequestBytes = 16 * 1024;
    static constexpr int kRequestLimitMs = 10000;

    explicit LoopbackListener(QObject* parent = nullptr);
    ~LoopbackListener() override;

    // Port 0: any free port. False, with errorString(), when it cannot be had.
    bool listen(quint16 port);
    quint16 port() const { return m_server.serverPort(); }
    // "http://127.0.0.1:<port>/"
    QString redirectUri() const;
    QString errorString() const { return m_server.errorString(); }
    // Stops listening and closes every connection not yet answered.
    void close();

    // Answers a request handed over by redirect() with a page and closes its
    // connection once the page is written.
    static void answer(QTcpSocket* connection, int status, const QString& title, const QString& text);

signals:
    // A browser asked for the redirect path; the connection waits for answer().
    void redirect(QTcpSocket* connection, const QUrl& address);

private:
    void onNewConnection();
    void readRequest(QTcpSocket* connection);

    QTcpServer m_server;
};
