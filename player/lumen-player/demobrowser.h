#pragma once

#include <QWebView>

// The user's web browser in the demo, where no desktop browser opens: a
// window with a web engine that says it is a desktop browser, with a
// session of its own, reaching the services through the application's proxy
// and loopback addresses directly. The stand-in's automatic pages sign in
// and allow by themselves.
class DemoBrowser : public QWebView
{
    Q_OBJECT
public:
    explicit DemoBrowser(QWidget* parent = nullptr);
};
