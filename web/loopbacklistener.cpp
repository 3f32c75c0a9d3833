#include "loopbacklistener.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

namespace {

const char* const kBufferKey = "lumen_request";
const char* const kAnsweredKey = "lumen_answered";

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 431: return "Request Header Fields Too Large";
    default: return "Error";
    }
}

QString escaped(const QString& text)
{
    return text.toHtmlEscaped();
}

} // namespace

LoopbackListener::LoopbackListener(QObject* parent) : QObject(parent)
{
    // The browser comes straight to this machine: the application's proxy
    // has no say in it.
    m_server.setProxy(QNetworkProxy::NoProxy);
    connect(&m_server, &QTcpServer::newConnection, this, &LoopbackListener::onNewConnection);
}

LoopbackListener::~LoopbackListener()
{
    close();
}

bool LoopbackListener::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

QString LoopbackListener::redirectUri() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port());
}

void LoopbackListener::close()
{
    m_server.close();
    // Connections still waiting for an answer end here; answered ones
    // finish writing on their own.
    for (QTcpSocket* connection : findChildren<QTcpSocket*>()) {
        if (!connection->property(kAnsweredKey).toBool())
            connection->abort();
    }
}

void LoopbackListener::onNewConnection()
{
    while (QTcpSocket* connection = m_server.nextPendingConnection()) {
        connection->setParent(this);
        // A browser may open connections it never uses: each has its time.
        auto* limit = new QTimer(connection);
        limit->setSingleShot(true);
        connect(limit, &QTimer::timeout, connection, &QTcpSocket::abort);
        limit->start(kRequestLimitMs);
        connect(connection, &QTcpSocket::readyRead, this, [this, connection] { readRequest(connection); });
        connect(connection, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
    }
}

void LoopbackListener::readRequest(QTcpSocket* connection)
{
    QByteArray request = connection->property(kBufferKey).toByteArray() + connection->readAll();
    const int end = request.indexOf("\r\n\r\n");
    if (end < 0) {
        if (request.size() > kMaxRequestBytes)
            answer(connection, 431, QStringLiteral("Lumen"), tr("The request was too large."));
        else
            connection->setProperty(kBufferKey, request);
        return;
    }
    disconnect(connection, &QTcpSocket::readyRead, this, nullptr);
    connection->setProperty(kBufferKey, QVariant());
    const QList<QByteArray> line = request.left(request.indexOf("\r\n")).split(' ');
    if (line.size() != 3 || !line.at(2).startsWith("HTTP/1.")) {
        answer(connection, 400, QStringLiteral("Lumen"), tr("This is not a request Lumen understands."));
        return;
    }
    if (line.at(0) != "GET") {
        answer(connection, 405, QStringLiteral("Lumen"), tr("Lumen only takes the service's redirect here."));
        return;
    }
    const QUrl address(redirectUri() + QString::fromLatin1(line.at(1).mid(1)), QUrl::StrictMode);
    if (!line.at(1).startsWith('/') || !address.isValid() || address.path() != QLatin1String("/")) {
        answer(connection, 404, QStringLiteral("Lumen"), tr("Nothing here."));
        return;
    }
    emit redirect(connection, address);
}

void LoopbackListener::answer(QTcpSocket* connection, int status, const QString& title, const QString& text)
{
    if (!connection || connection->state() != QAbstractSocket::ConnectedState)
        return;
    const QByteArray page = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%1</title></head>"
                                           "<body style=\"font-family: sans-serif; margin: 3em\"><h1>%1</h1>"
                                           "<p id=\"message\">%2</p></body></html>")
                                .arg(escaped(title), escaped(text))
                                .toUtf8();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    head += "Content-Type: text/html; charset=utf-8\r\n";
    head += "Content-Length: " + QByteArray::number(page.size()) + "\r\n";
    // The page must not be kept, nor tell where the browser came from.
    head += "Cache-Control: no-store\r\nReferrer-Policy: no-referrer\r\nConnection: close\r\n\r\n";
    connection->setProperty(kAnsweredKey, true);
    connection->write(head + page);
    // Handed to the system at once: the listener may go right after.
    connection->flush();
    connection->disconnectFromHost();
}
