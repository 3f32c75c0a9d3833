#include "demobrowser.h"

#include <QWebPage>
#include <QWebSettings>

namespace {

// What a desktop browser says of itself; an embedded engine says QtWebKit,
// which today's Google refuses.
class BrowserPage : public QWebPage
{
public:
    explicit BrowserPage(QObject* parent) : QWebPage(parent) {}

protected:
    QString userAgentForUrl(const QUrl&) const override
    {
        return QStringLiteral("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                              "Chrome/126.0.0.0 Safari/537.36");
    }
};

} // namespace

DemoBrowser::DemoBrowser(QWidget* parent) : QWebView(parent)
{
    setPage(new BrowserPage(this));
    settings()->setAttribute(QWebSettings::JavascriptEnabled, true);
    setWindowTitle(QStringLiteral("Web browser"));
    resize(900, 640);
}
