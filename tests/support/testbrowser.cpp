#include "testbrowser.h"

#include "teststate.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QWebFrame>

namespace {

// Tells each request to a loopback address as it starts.
class WatchingManager : public QNetworkAccessManager
{
public:
    explicit WatchingManager(QUrl& redirect, QObject* parent) : QNetworkAccessManager(parent), m_redirect(redirect) {}

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request, QIODevice* data) override
    {
        if (request.url().host() == QLatin1String("127.0.0.1"))
            m_redirect = request.url();
        return QNetworkAccessManager::createRequest(operation, request, data);
    }

private:
    QUrl& m_redirect;
};

} // namespace

TestBrowser::TestBrowser(QObject* parent) : QWebPage(parent)
{
    settings()->setAttribute(QWebSettings::JavascriptEnabled, true);
    setNetworkAccessManager(new WatchingManager(m_redirect, this));
    connect(this, &QWebPage::loadFinished, this, [this] {
        if (mainFrame()->url().host() == QLatin1String("127.0.0.1"))
            m_backHome = true;
    });
}

QString TestBrowser::userAgentForUrl(const QUrl&) const
{
    return QStringLiteral("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                          "Chrome/126.0.0.0 Safari/537.36");
}

bool TestBrowser::open(const QUrl& address, int timeoutMs)
{
    m_backHome = false;
    mainFrame()->load(address);
    return teststate::waitFor([this] { return m_backHome; }, timeoutMs);
}

QString TestBrowser::text() const
{
    return mainFrame()->toPlainText();
}
