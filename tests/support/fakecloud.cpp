#include "fakecloud.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrlQuery>

#include <memory>

const char* const FakeCloud::kDropboxUser = "alice@example.com";
const char* const FakeCloud::kDropboxPassword = "alice-password";

FakeCloud::~FakeCloud()
{
    stop();
}

bool FakeCloud::start(bool autoMode, Rules rules)
{
    QStringList arguments{QStringLiteral(FAKECLOUD_DIR "/fakecloud")};
    if (autoMode)
        arguments << QStringLiteral("--auto");
    if (rules == Rules::Live)
        arguments << QStringLiteral("--rules") << QStringLiteral("live");
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"), arguments);
    if (!m_process.waitForReadyRead(10000))
        return false;
    const QByteArray line = m_process.readLine().trimmed();
    if (!line.startsWith("listening on 127.0.0.1:"))
        return false;
    m_port = line.mid(line.lastIndexOf(':') + 1).toUShort();

    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_port));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(QStringLiteral(FAKECLOUD_DIR "/ca.pem")));
    QSslConfiguration::setDefaultConfiguration(tls);
    return m_port != 0;
}

void FakeCloud::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(1000);
}

namespace {

// A call straight to the stand-in's port (never proxied): its body, and its status.
QByteArray call(const QByteArray& method, const QUrl& url, const QByteArray& payload, int* status)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const std::unique_ptr<QNetworkReply> reply(manager.sendCustomRequest(request, method, payload));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply->readAll();
}

} // namespace

QJsonObject FakeCloud::control(const QByteArray& method, const QString& path, const QJsonObject& body, int* status)
{
    QUrl url(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
    const int query = path.indexOf(QLatin1Char('?'));
    url.setPath(query < 0 ? path : path.left(query));
    if (query >= 0)
        url.setQuery(path.mid(query + 1));
    const QByteArray payload = body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
    return QJsonDocument::fromJson(call(method, url, payload, status)).object();
}

void FakeCloud::reset()
{
    control("POST", QStringLiteral("/reset"));
}

QJsonArray FakeCloud::requests(const QString& host, const QString& path)
{
    QUrlQuery query;
    if (!host.isEmpty())
        query.addQueryItem(QStringLiteral("host"), host);
    if (!path.isEmpty())
        query.addQueryItem(QStringLiteral("path"), path);
    return control("GET", QStringLiteral("/record?") + query.toString(QUrl::FullyEncoded)).value("requests").toArray();
}

int FakeCloud::addFault(const QJsonObject& fault)
{
    return control("POST", QStringLiteral("/faults"), fault).value("id").toInt();
}

void FakeCloud::setTls(const QString& mode)
{
    control("POST", QStringLiteral("/tls"), {{"mode", mode}});
}

QByteArray FakeCloud::dropboxFile(const QString& email, const QString& path, int* status)
{
    return fileContent(QStringLiteral("dropbox"), email, QStringLiteral("path"), path, status);
}

QByteArray FakeCloud::driveFile(const QString& email, const QString& name, int* status)
{
    return fileContent(QStringLiteral("google"), email, QStringLiteral("name"), name, status);
}

QByteArray FakeCloud::fileContent(const QString& service, const QString& email, const QString& key, const QString& value,
                                  int* status)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("service"), service);
    query.addQueryItem(QStringLiteral("email"), email);
    query.addQueryItem(key, QString::fromLatin1(QUrl::toPercentEncoding(value)));
    QUrl url(QStringLiteral("http://127.0.0.1:%1/files/content").arg(m_port));
    url.setQuery(query);
    return call("GET", url, QByteArray(), status);
}
