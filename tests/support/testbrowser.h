#pragma once

#include <QObject>
#include <QUrl>
#include <QWebPage>

// A browser for the sign-in pages, as the user's would be: a web engine
// that says it is a desktop browser, with a session of its own, reaching
// the services through the application's proxy and loopback addresses
// directly. The stand-in's automatic pages sign in and allow by themselves.
class TestBrowser : public QWebPage
{
    Q_OBJECT
public:
    explicit TestBrowser(QObject* parent = nullptr);

    // Loads the address and waits until a page on 127.0.0.1 has loaded (the
    // service sent the browser back) or the time is up.
    bool open(const QUrl& address, int timeoutMs = 20000);
    // The loopback address the service sent the browser to; empty before.
    QUrl redirect() const { return m_redirect; }
    QString text() const;

protected:
    QString userAgentForUrl(const QUrl& url) const override;

private:
    QUrl m_redirect;
    bool m_backHome = false;
};
