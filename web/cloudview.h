#pragma once

#include "cloudtypes.h"

#include <QPointer>
#include <QWebView>

// The window in which one account shows its service's sign-in pages, its
// chooser page and the pop-ups those pages open.
class CloudView : public QWebView
{
    Q_OBJECT
public:
    // Where the chooser pages run from: their origin for the services.
    static const char* const kChooserBaseUrl;

    CloudView(CLOUD_TYPE kind, QWidget* parent);

    static const char* cloudName(CLOUD_TYPE kind);
    // Makes the chooser pages reachable in the resources (they live in a
    // static library, which does not register them by itself).
    static void registerChooserPages();
    // The last pop-up a page opened; null when none is open.
    QWebView* popupView() const { return m_popupView; }
    void closePopupView();

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
    static void shapeWindow(QWebView* view, CLOUD_TYPE kind);

    CLOUD_TYPE m_kind;
    // Pop-ups delete themselves when closed, the user's way included.
    QPointer<QWebView> m_popupView;
};
