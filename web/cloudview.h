#pragma once

#include "servicedescriptor.h"

#include <QPointer>
#include <QWebView>

class CloudPage;

// The window in which one account shows its service's sign-in pages, its
// chooser page and the pop-ups those pages open.
class CloudView : public QWebView
{
    Q_OBJECT
public:
    // Where the chooser pages run from: their origin for the services.
    static const char* const kChooserBaseUrl;

    CloudView(const ServiceDescriptor& service, QWidget* parent);

    // Makes the chooser pages reachable in the resources (they live in a
    // static library, which does not register them by itself).
    static void registerChooserPages();
    // The last pop-up a page opened; null when none is open.
    QWebView* popupView() const { return m_popupView; }
    void closePopupView();
    // Whether the main frame shows the chooser page that openChooser put
    // there, and not a page reached from it.
    bool showsChooser() const;

signals:
    void webViewCreated();
    void webViewClosed();
    void chooserClosed();

public slots:
    bool openChooser();

protected:
    void closeEvent(QCloseEvent* event) override;
    QWebView* createWindow(QWebPage::WebWindowType type) override;

private:
    static void shapeWindow(QWebView* view, const WindowShape& shape);

    const ServiceDescriptor m_service;
    CloudPage* m_page;
    // Pop-ups delete themselves when closed, the user's way included.
    QPointer<QWebView> m_popupView;
};
