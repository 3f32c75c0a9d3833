// The support library stand-in: style-sheet lengths, the ping service and
// the registry of the player's menu actions.
#include "commonmenubar.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "playertoolbutton.h"

#include <QAction>
#include <QFontMetricsF>
#include <QMenu>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWidget>

using namespace QoviLumen;

class SupportLibraryTest : public QObject
{
    Q_OBJECT
private slots:
    void emAndExBecomePixels();
    void sheetWithoutEmIsLeftAlone();
    void pingsAreRecordedAndSentToThePingHostOnly();
    void menuActionsById();
    void toolButtonMenuModes();
};

void SupportLibraryTest::emAndExBecomePixels()
{
    QWidget widget;
    QFont font = widget.font();
    font.setPixelSize(20);
    widget.setFont(font);
    widget.setStyleSheet(QStringLiteral("QMenu::item { padding-left: 2em; height: 1.5ex; margin: .5em; width: 3px; }"));
    OSUtilities::FixEmExStyleSheet(&widget);
    const QFontMetricsF metrics(font);
    const QString expected = QStringLiteral("QMenu::item { padding-left: %1px; height: %2px; margin: %3px; width: 3px; }")
                                 .arg(qRound(2 * metrics.height()))
                                 .arg(qRound(1.5 * metrics.xHeight()))
                                 .arg(qRound(0.5 * metrics.height()));
    QCOMPARE(widget.styleSheet(), expected);
}

void SupportLibraryTest::sheetWithoutEmIsLeftAlone()
{
    QWidget widget;
    const QString sheet = QStringLiteral("QToolButton { image: url(:/themes/item.png); border: 1px solid red; }");
    widget.setStyleSheet(sheet);
    OSUtilities::FixEmExStyleSheet(&widget);
    QCOMPARE(widget.styleSheet(), sheet);
    OSUtilities::FixEmExStyleSheet(nullptr);
}

void SupportLibraryTest::pingsAreRecordedAndSentToThePingHostOnly()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QByteArray request;
    connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket* socket = server.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, [&request, socket] {
            request += socket->readAll();
            if (request.contains("\r\n\r\n"))
                socket->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        });
    });

    PingManager::clearRecordedPings();
    const QString elsewhere = QStringLiteral("http://ping.example/hint/q10-x");
    QVERIFY(!PingManager::sendPing(elsewhere, true));
    const QString local = QStringLiteral("http://127.0.0.1:%1/hint/q10-macplayer-cloud-connect-Register-Dropbox-Geo-US")
                              .arg(server.serverPort());
    QVERIFY(!PingManager::sendPing(local, true)); // no ping host yet: recorded only
    QVERIFY(request.isEmpty());

    PingManager::setPingHost(QStringLiteral("127.0.0.1"));
    QVERIFY(PingManager::sendPing(local, true));
    QVERIFY(request.startsWith("GET /hint/q10-macplayer-cloud-connect-Register-Dropbox-Geo-US HTTP/1.1\r\n"));
    QCOMPARE(PingManager::recordedPings(), (QStringList{elsewhere, local, local}));
    PingManager::setPingHost(QString());
}

void SupportLibraryTest::menuActionsById()
{
    QVERIFY(!CommonMenuBar::getAction(1007));
    auto* action = new QAction(QStringLiteral("Dropbox"));
    CommonMenuBar::registerAction(1007, action);
    QCOMPARE(CommonMenuBar::getAction(1007), action);
    QVERIFY(!CommonMenuBar::getAction(1008));
    delete action;
    QVERIFY(!CommonMenuBar::getAction(1007));
}

void SupportLibraryTest::toolButtonMenuModes()
{
    PlayerToolButton button;
    QMenu menu;
    button.setButtonMenu(&menu);
    QVERIFY(!button.menu()); // no menu mode yet
    button.setButtonMenuMode(PlayerToolButton::MenuOnClick);
    QCOMPARE(button.menu(), &menu);
    QCOMPARE(button.popupMode(), QToolButton::InstantPopup);
    button.setButtonMenuMode(PlayerToolButton::MenuOnArrow);
    QCOMPARE(button.popupMode(), QToolButton::MenuButtonPopup);
    button.show();
    button.setVisibleSlot(false);
    QVERIFY(button.isHidden());
}

QTEST_MAIN(SupportLibraryTest)
#include "tst_supportlibrary.moc"
