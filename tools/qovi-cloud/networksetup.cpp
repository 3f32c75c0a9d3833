#include "networksetup.h"

#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>

bool NetworkSetup::apply(const QString& proxy, const QString& caCertificate, QString* problem)
{
    if (!proxy.isEmpty()) {
        const int colon = proxy.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const quint16 port = colon > 0 ? proxy.mid(colon + 1).toUShort(&ok) : 0;
        if (!ok || port == 0) {
            *problem = QStringLiteral("--proxy wants host:port, not %1").arg(proxy);
            return false;
        }
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, proxy.left(colon), port));
    }
    if (!caCertificate.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caCertificate);
        if (authorities.isEmpty()) {
            *problem = QStringLiteral("no certificate in %1").arg(caCertificate);
            return false;
        }
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(authorities);
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    return true;
}
