#include "pingsender.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

namespace QoviLumen {

namespace {

constexpr int kWaitLimitMs = 5000;

QString endingOf(const QNetworkReply* reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (reply->error() == QNetworkReply::NoError && status.isValid())
        return QStringLiteral("answered %1").arg(status.toInt());
    return QStringLiteral("failed: %1").arg(reply->errorString());
}

} // namespace

PingSender* PingSender::instance()
{
    static QPointer<PingSender> sender;
    if (!sender && QCoreApplication::instance())
        sender = new PingSender(QCoreApplication::instance());
    return sender;
}

PingSender::PingSender(QObject* parent) : QObject(parent) {}

bool PingSender::send(const QUrl& url, bool waitForReply, Ending ending)
{
    QNetworkReply* reply = m_manager.get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::finished, reply, [reply, ending] {
        ending(endingOf(reply));
        reply->deleteLater();
    });
    if (!waitForReply)
        return true;

    QEventLoop loop;
    QTimer::singleShot(kWaitLimitMs, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (!reply->isFinished()) {
        reply->abort(); // its ending says so
        return false;
    }
    return reply->error() == QNetworkReply::NoError;
}

} // namespace QoviLumen
