// The stand-in's pages and script libraries in the real web engine (QtWebKit),
// reached the way the plug-in reaches the services: application proxy on the
// stand-in's port and the test authority added to the default TLS settings.
// Every page acts by itself (auto mode), so nothing waits for a person.

#include <QtTest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QWebFrame>
#include <QWebPage>
#include <QWebSettings>

#include <memory>

namespace {

// What the page under test reports.
class Bridge : public QObject
{
    Q_OBJECT
public:
    QString result;
    bool finished = false;
    bool cancelled = false;
    Q_INVOKABLE void done(const QString &json) { result = json; finished = true; }
    Q_INVOKABLE void cancel() { cancelled = true; finished = true; }
};

// A page whose pop-ups share its network manager, like the plug-in's views.
class Page : public QWebPage
{
    Q_OBJECT
public:
    explicit Page(QNetworkAccessManager *nam, QList<Page *> *popups)
        : m_popups(popups)
    {
        setNetworkAccessManager(nam);
        connect(this, &QWebPage::windowCloseRequested, this, [this] { closed = true; });
    }
    bool closed = false;

protected:
    QWebPage *createWindow(WebWindowType) override
    {
        auto *p = new Page(networkAccessManager(), m_popups);
        m_popups->append(p);
        return p;
    }

private:
    QList<Page *> *m_popups;
};

class Jar : public QNetworkCookieJar
{
public:
    QList<QNetworkCookie> all() const { return allCookies(); }
};

} // namespace

class TestFakecloudWebkit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void dropboxChooserSignsInAndPicks();
    void dropboxChooserCancel();
    void dropboxAuthorizeRedirectFailsWithTheToken();
    void googleConsentRedirectIsRefusedWithTheCode();
    void googlePickerAuthorisesAndPicks();

private:
    QJsonDocument control(const QByteArray &method, const QString &path, const QJsonObject &body = {});
    void loadTestPage(const QString &html);

    QProcess m_standIn;
    quint16 m_port = 0;
    QNetworkAccessManager *m_nam = nullptr;
    Jar *m_jar = nullptr;
    Page *m_page = nullptr;
    QList<Page *> m_popups;
    Bridge *m_bridge = nullptr;
    QList<QUrl> m_failedUrls;
    QList<int> m_failedErrors;
};

void TestFakecloudWebkit::initTestCase()
{
    m_standIn.setProgram(QStringLiteral("/usr/bin/python3"));
    m_standIn.setArguments({QStringLiteral(FAKECLOUD_DIR "/fakecloud"), QStringLiteral("--auto")});
    m_standIn.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_standIn.start();
    QVERIFY(m_standIn.waitForReadyRead(5000));
    const QByteArray line = m_standIn.readLine().trimmed();
    QVERIFY2(line.startsWith("listening on 127.0.0.1:"), line.constData());
    m_port = line.mid(line.lastIndexOf(':') + 1).toUShort();
    QVERIFY(m_port > 0);

    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_port));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    auto ca = QSslCertificate::fromPath(QStringLiteral(FAKECLOUD_DIR "/ca.pem"));
    QCOMPARE(ca.size(), 1);
    ssl.addCaCertificates(ca);
    QSslConfiguration::setDefaultConfiguration(ssl);
    QWebSettings::globalSettings()->setAttribute(QWebSettings::JavascriptCanOpenWindows, true);
    QWebSettings::globalSettings()->setAttribute(QWebSettings::LocalContentCanAccessRemoteUrls, true);
}

void TestFakecloudWebkit::cleanupTestCase()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    m_standIn.terminate();
    QVERIFY(m_standIn.waitForFinished(5000));
    QCOMPARE(m_standIn.exitCode(), 0);
}

void TestFakecloudWebkit::init()
{
    control("POST", QStringLiteral("/reset"));
    control("POST", QStringLiteral("/auto"), QJsonObject{{"enabled", true}, {"delay_ms", 50}});
    m_nam = new QNetworkAccessManager;
    m_jar = new Jar;
    m_nam->setCookieJar(m_jar);
    m_failedUrls.clear();
    m_failedErrors.clear();
    connect(m_nam, &QNetworkAccessManager::finished, this, [this](QNetworkReply *r) {
        if (r->error() != QNetworkReply::NoError) {
            m_failedUrls.append(r->url());
            m_failedErrors.append(r->error());
        }
    });
    m_page = new Page(m_nam, &m_popups);
    m_bridge = new Bridge;
    connect(m_page->mainFrame(), &QWebFrame::javaScriptWindowObjectCleared, this,
            [this] { m_page->mainFrame()->addToJavaScriptWindowObject(QStringLiteral("fcResult"), m_bridge); });
}

void TestFakecloudWebkit::cleanup()
{
    qDeleteAll(m_popups);
    m_popups.clear();
    delete m_page;
    delete m_bridge;
    delete m_nam;  // owns the jar
    m_page = nullptr;
}

QJsonDocument TestFakecloudWebkit::control(const QByteArray &method, const QString &path, const QJsonObject &body)
{
    QNetworkAccessManager nam;
    nam.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    QNetworkRequest req(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path)));
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    std::unique_ptr<QNetworkReply> reply(nam.sendCustomRequest(req, method, QJsonDocument(body).toJson()));
    QEventLoop loop;
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    if (reply->error() != QNetworkReply::NoError)
        qWarning("control %s %s: %s", method.constData(), qPrintable(path), qPrintable(reply->errorString()));
    return QJsonDocument::fromJson(reply->readAll());
}

void TestFakecloudWebkit::loadTestPage(const QString &html)
{
    m_page->mainFrame()->setHtml(html, QUrl(QStringLiteral("http://www.example.com/chooser/")));
}

static const char *kDropboxPage = R"(<!DOCTYPE html><html><head>
<script type="text/javascript" src="https://www.dropbox.com/static/api/2/dropins.js" id="dropboxjs" data-app-key="fakecloudappkey"></script>
<script type="text/javascript">
var options = {
  success: function (files) { fcResult.done(JSON.stringify(files)); },
  cancel: function () { fcResult.cancel(); },
  linkType: "direct", multiselect: false, extensions: [".qovi", ".mkv", ".avi", ".mov", ".mp4"]
};
window.addEventListener("load", function () { Dropbox.appKey = "fakecloudappkey"; Dropbox.choose(options); }, false);
</script></head><body>chooser</body></html>)";

void TestFakecloudWebkit::dropboxChooserSignsInAndPicks()
{
    control("POST", QStringLiteral("/auto"), QJsonObject{{"dropbox_pick", "clip.mkv"}});
    loadTestPage(QString::fromLatin1(kDropboxPage));
    QTRY_VERIFY_WITH_TIMEOUT(m_bridge->finished, 20000);
    QVERIFY(!m_bridge->cancelled);
    const QJsonArray files = QJsonDocument::fromJson(m_bridge->result.toUtf8()).array();
    QCOMPARE(files.size(), 1);
    const QJsonObject f = files.at(0).toObject();
    QCOMPARE(f.value("name").toString(), QStringLiteral("clip.mkv"));
    QCOMPARE(f.value("bytes").toDouble(), double(2 << 20));
    QVERIFY(f.value("link").toString().startsWith(QStringLiteral("https://dl.dropboxusercontent.com/1/view/")));
    QVERIFY(f.value("thumbnailLink").toString().startsWith(QStringLiteral("https://")));
    QVERIFY(f.value("icon").toString().startsWith(QStringLiteral("https://www.dropbox.com/")));

    // The pop-up signed in (a persistent blid cookie) and then closed itself.
    bool persistentBlid = false;
    for (const QNetworkCookie &c : m_jar->all())
        if (c.name() == "blid" && !c.isSessionCookie())
            persistentBlid = true;
    QVERIFY(persistentBlid);
    QCOMPARE(m_popups.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(m_popups.at(0)->closed, 5000);

    // The chooser address carried the origin and the app key.
    const QJsonArray rec = control("GET", QStringLiteral("/record?path=/chooser")).object().value("requests").toArray();
    QVERIFY(!rec.isEmpty());
    const QString url = rec.at(0).toObject().value("url").toString();
    QVERIFY2(url.contains(QStringLiteral("origin=http%3A%2F%2Fwww.example.com")), qPrintable(url));
    QVERIFY2(url.contains(QStringLiteral("app_key=fakecloudappkey")), qPrintable(url));
}

void TestFakecloudWebkit::dropboxChooserCancel()
{
    control("POST", QStringLiteral("/auto"), QJsonObject{{"chooser", "cancel"}});
    loadTestPage(QString::fromLatin1(kDropboxPage));
    QTRY_VERIFY_WITH_TIMEOUT(m_bridge->finished, 20000);
    QVERIFY(m_bridge->cancelled);
    QVERIFY(m_bridge->result.isEmpty());
}

void TestFakecloudWebkit::dropboxAuthorizeRedirectFailsWithTheToken()
{
    m_page->mainFrame()->load(QUrl(QStringLiteral(
        "https://www.dropbox.com/oauth2/authorize?response_type=token&client_id=fakecloudappkey&redirect_uri=qovi://cloud_callback")));
    QTRY_VERIFY_WITH_TIMEOUT(m_failedErrors.contains(QNetworkReply::ProtocolUnknownError), 20000);
    const QUrl url = m_failedUrls.at(m_failedErrors.indexOf(QNetworkReply::ProtocolUnknownError));
    QCOMPARE(url.scheme(), QStringLiteral("qovi"));
    const QUrlQuery fragment(url.fragment(QUrl::FullyDecoded));
    QVERIFY(fragment.queryItemValue("access_token").startsWith(QStringLiteral("sl.")));
    QCOMPARE(fragment.queryItemValue("token_type"), QStringLiteral("bearer"));
    QVERIFY(fragment.queryItemValue("account_id", QUrl::FullyDecoded).startsWith(QStringLiteral("dbid:")));
}

void TestFakecloudWebkit::googleConsentRedirectIsRefusedWithTheCode()
{
    // A local port nobody listens on (the engine itself refuses some low ports).
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    m_page->mainFrame()->load(QUrl(QStringLiteral(
        "https://accounts.google.com/o/oauth2/auth?scope=https://www.googleapis.com/auth/drive&access_type=offline"
        "&response_type=code&redirect_uri=http://localhost:%1&client_id=fakecloud-client.apps.googleusercontent.com").arg(port),
        QUrl::TolerantMode));
    QTRY_VERIFY_WITH_TIMEOUT(m_failedErrors.contains(QNetworkReply::ConnectionRefusedError), 20000);
    const QUrl url = m_failedUrls.at(m_failedErrors.indexOf(QNetworkReply::ConnectionRefusedError));
    QCOMPARE(url.host(), QStringLiteral("localhost"));
    const QUrlQuery query(url);
    QVERIFY(query.queryItemValue("code").startsWith(QStringLiteral("4/0")));
    QCOMPARE(query.queryItemValue("scope", QUrl::FullyDecoded), QStringLiteral("https://www.googleapis.com/auth/drive"));
    bool hsid = false;
    for (const QNetworkCookie &c : m_jar->all())
        if (c.name() == "HSID" && !c.isSessionCookie())
            hsid = true;
    QVERIFY(hsid);
}

static const char *kGooglePage = R"(<!DOCTYPE html><html><head>
<script type="text/javascript" src="https://apis.google.com/js/api.js"></script>
<script type="text/javascript">
var pickerReady = false, token = null;
function make() {
  if (!pickerReady || !token) { return; }
  var view = new google.picker.DocsView().setIncludeFolders(true).setSelectFolderEnabled(false).setParent('root');
  view.setMimeTypes(["video/x-matroska", "video/mp4", "video/quicktime"]);
  new google.picker.PickerBuilder().addView(view).enableFeature(google.picker.Feature.NAV_HIDDEN)
    .setSize(800, 700).hideTitleBar().setOAuthToken(token).setCallback(picked).build().setVisible(true);
}
function picked(data) {
  var D = google.picker.Document;
  if (data[google.picker.Response.ACTION] === google.picker.Action.PICKED) {
    var out = [], docs = data[google.picker.Response.DOCUMENTS], i;
    for (i = 0; i < docs.length; i++) {
      out.push({filelink: docs[i][D.URL], id: docs[i][D.ID], token: token, thumbnail: docs[i][D.ICON_URL],
                fileName: docs[i][D.NAME], fileSize: docs[i][D.SQ], mimeType: docs[i][D.MIME_TYPE]});
    }
    fcResult.done(JSON.stringify(out));
  } else if (data[google.picker.Response.ACTION] === google.picker.Action.CANCEL) {
    fcResult.cancel();
  }
}
window.addEventListener("load", function () {
  gapi.load('auth', {'callback': function () {
    gapi.auth.authorize({client_id: 'fakecloud-client.apps.googleusercontent.com',
                         scope: ['https://www.googleapis.com/auth/drive'], immediate: false},
      function (r) { if (r && !r.error) { token = r.access_token; make(); } });
  }});
  gapi.load('picker', {'callback': function () { pickerReady = true; make(); }});
}, false);
</script></head><body>chooser</body></html>)";

void TestFakecloudWebkit::googlePickerAuthorisesAndPicks()
{
    control("POST", QStringLiteral("/auto"), QJsonObject{{"google_pick", "holiday.mov"}});
    loadTestPage(QString::fromLatin1(kGooglePage));
    QTRY_VERIFY_WITH_TIMEOUT(m_bridge->finished, 20000);
    QVERIFY(!m_bridge->cancelled);
    const QJsonArray files = QJsonDocument::fromJson(m_bridge->result.toUtf8()).array();
    QCOMPARE(files.size(), 1);
    const QJsonObject f = files.at(0).toObject();
    QCOMPARE(f.keys().size(), 7);
    QCOMPARE(f.value("fileName").toString(), QStringLiteral("holiday.mov"));
    QCOMPARE(f.value("mimeType").toString(), QStringLiteral("video/quicktime"));
    QCOMPARE(f.value("fileSize").toDouble(), double(3 << 20));
    QVERIFY(f.value("token").toString().startsWith(QStringLiteral("ya29.")));
    QVERIFY(!f.value("id").toString().isEmpty());
    QVERIFY(f.value("filelink").toString().startsWith(QStringLiteral("https://drive.google.com/")));
    QCOMPARE(m_popups.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(m_popups.at(0)->closed, 5000);
}

QTEST_MAIN(TestFakecloudWebkit)
#include "tst_fakecloud_webkit.moc"
