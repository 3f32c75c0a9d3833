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

QJsonObject FakeCloud::control(const QByteArray& method, const QString& path, const QJsonObject& body, int* status)
{
    QNetworkAccessManager manager;
    QUrl url(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
    const int query = path.indexOf(QLatin1Char('?'));
    url.setPath(query < 0 ? path : path.left(query));
    if (query >= 0)
        url.setQuery(path.mid(query + 1));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QByteArray payload = body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
    QNetworkReply* reply = manager.sendCustomRequest(request, method, payload);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    delete reply;
    return answer;
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

namespace {

QByteArray fileContent(quint16 port, const QUrlQuery& query, int* status)
{
    QNetworkAccessManager manager;
    QUrl url(QStringLiteral("http://127.0.0.1:%1/files/content").arg(port));
    url.setQuery(query);
    QNetworkReply* reply = manager.get(QNetworkRequest(url));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray bytes = reply->readAll();
    delete reply;
    return bytes;
}

} // namespace

QByteArray FakeCloud::dropboxFile(const QString& email, const QString& path, int* status)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("service"), QStringLiteral("dropbox"));
    query.addQueryItem(QStringLiteral("email"), email);
    query.addQueryItem(QStringLiteral("path"), QString::fromLatin1(QUrl::toPercentEncoding(path)));
    return fileContent(m_port, query, status);
}

QByteArray FakeCloud::driveFile(const QString& email, const QString& name, int* status)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("service"), QStringLiteral("google"));
    query.addQueryItem(QStringLiteral("email"), email);
    query.addQueryItem(QStringLiteral("name"), QString::fromLatin1(QUrl::toPercentEncoding(name)));
    return fileContent(m_port, query, status);
}
