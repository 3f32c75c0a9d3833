#pragma once

#include <QWebPage>

// The page of an account's window. It knows whether its main frame still
// shows the document the plug-in put there itself, so that the plug-in's
// script object is given to that document and to nothing a navigation
// reaches from it.
class CloudPage : public QWebPage
{
    Q_OBJECT
public:
    explicit CloudPage(QObject* parent);

    // The next main-frame load is the plug-in's own document.
    void expectOwnDocument() { m_expectOwn = true; }
    bool showsOwnDocument() const { return m_showsOwn; }

protected:
    bool acceptNavigationRequest(QWebFrame* frame, const QNetworkRequest& request, NavigationType type) override;

private:
    bool m_expectOwn = false;
    bool m_showsOwn = false;
};
