#include "cloudpage.h"

#include <QWebFrame>

CloudPage::CloudPage(QObject* parent) : QWebPage(parent) {}

bool CloudPage::acceptNavigationRequest(QWebFrame* frame, const QNetworkRequest& request, NavigationType type)
{
    // setHtml passes here too, as the first navigation after it was asked
    // for; whatever the main frame loads next is somebody else's document.
    if (frame == mainFrame()) {
        m_showsOwn = m_expectOwn;
        m_expectOwn = false;
    }
    return QWebPage::acceptNavigationRequest(frame, request, type);
}
