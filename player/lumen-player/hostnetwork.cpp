#include "hostnetwork.h"

#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>

bool HostNetwork::useProxy(const QString& address, QString* problem)
{
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    bool numeric = false;
    const uint port = colon > 0 ? address.midRef(colon + 1).toUInt(&numeric) : 0;
    if (!numeric || port == 0 || port > 65535) {
        *problem = QStringLiteral("the proxy must be given as host:port, not \"%1\"").arg(address);
        return false;
    }
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, address.left(colon), quint16(port)));
    return true;
}

bool HostNetwork::trustAuthorities(const QString& path, QString* problem)
{
    const QList<QSslCertificate> authorities = QSslCertificate::fromPath(path, QSsl::Pem);
    if (authorities.isEmpty()) {
        *problem = QStringLiteral("no certificate in %1").arg(path);
        return false;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(tls);
    return true;
}
