// The bundle as the player meets it: loaded by the framework from its
// folder, asked for interfaces, cast by class name, held and released.
#include "downloadmanagerplugin.h"
#include "menuinterface.h"
#include "plugin.h"
#include "pluginregistry.h"
#include "qlmcloudplugininterface.h"
#include "settingsconsumerinterface.h"
#include "toolbarinterface.h"

#include <QFile>
#include <QImage>
#include <QMetaObject>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

namespace {
const char* const kCloudId = "com.qovi.lumen.pluginInterface.CloudPluginInterface";
}

class PluginBundleTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();
    void cleanup();

    void interfaceQueries_data();
    void interfaceQueries();
    void cloudInterfaceIsTheQObject();
    void metaCasts_data();
    void metaCasts();
    void holdsAndRelease();
    void releaseLaterThenUseAgain();
    void resourcesOfTheBundle_data();
    void resourcesOfTheBundle();

private:
    QObject* cloudObject();

    std::unique_ptr<QSE::PluginRegistry> m_registry;
    QSE::Plugin* m_plugin = nullptr;
};

void PluginBundleTest::init()
{
    m_registry = std::make_unique<QSE::PluginRegistry>();
    QCOMPARE(m_registry->loadFolder(LUMEN_PLUGIN_DIR), 1);
    const QSE::PluginContext::PluginInterfaceFilter filter(kCloudId);
    QCOMPARE(m_registry->findPlugin(filter, QSE::PluginContext::SimplePluginInfoSelector(), false, &m_plugin), 0);
    QVERIFY(m_plugin);
}

void PluginBundleTest::cleanup()
{
    if (m_plugin) {
        QMetaObject::invokeMethod(cloudObject(), "releaseLater");
        m_plugin->release();
        m_plugin = nullptr;
    }
    m_registry.reset();
}

QObject* PluginBundleTest::cloudObject()
{
    void* menu = nullptr;
    m_plugin->queryInterface("com.qovi.lumen.pluginInterface.Menu", &menu);
    return static_cast<QoviLumen::MenuInterface*>(menu)->menuObject();
}

void PluginBundleTest::interfaceQueries_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("answer");
    QTest::newRow("menu") << "com.qovi.lumen.pluginInterface.Menu" << 0;
    QTest::newRow("cloud") << kCloudId << 0;
    QTest::newRow("tool bar") << "com.qovi.lumen.pluginInterface.ToolBar" << 0;
    QTest::newRow("settings consumer") << "com.qovi.lumen.pluginInterface.SettingsConsumer" << 0;
    QTest::newRow("used, not offered") << DownloadManagerPlugin::kInterfaceId << 3;
    QTest::newRow("defined, not offered") << "com.qovi.playback.interface.SkinManager" << 3;
    QTest::newRow("letter case differs") << "com.qovi.lumen.plugininterface.Menu" << 3;
    QTest::newRow("trailing blank") << "com.qovi.lumen.pluginInterface.Menu " << 3;
    QTest::newRow("empty") << "" << 3;
}

void PluginBundleTest::interfaceQueries()
{
    QFETCH(QString, id);
    QFETCH(int, answer);
    void* pointer = reinterpret_cast<void*>(0x1);
    QCOMPARE(m_plugin->queryInterface(id.toStdString(), &pointer), answer);
    QCOMPARE(pointer != nullptr, answer == 0);
}

void PluginBundleTest::cloudInterfaceIsTheQObject()
{
    void* cloud = nullptr;
    QCOMPARE(m_plugin->queryInterface(kCloudId, &cloud), 0);
    auto* cloudInterface = static_cast<QoviLumen::QLMCloudPluginInterface*>(cloud);
    QCOMPARE(static_cast<QObject*>(cloudInterface), cloudObject());
    QCOMPARE(static_cast<void*>(cloudObject()), cloud);
    QVERIFY(cloudObject()->metaObject()->indexOfSlot("importFromDropbox()") >= 0);
    QVERIFY(cloudObject()->metaObject()->indexOfSlot("sendPingForAction(ACTION_TYPE,CLOUD_TYPE)") >= 0);
    QVERIFY(cloudObject()->metaObject()->indexOfSignal("cloudConnected(CLOUD_TYPE,QString)") >= 0);
    QCOMPARE(cloudObject()->metaObject()->className(), "QoviLumen::CloudPlugin");
}

void PluginBundleTest::metaCasts_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("expected");
    QTest::newRow("own class") << "QoviLumen::CloudPlugin" << "object";
    QTest::newRow("framework base") << "QSE::Plugin" << "plugin";
    QTest::newRow("menu") << "MenuInterface" << "menu";
    QTest::newRow("menu with namespace") << "QoviLumen::MenuInterface" << "null";
    QTest::newRow("tool bar") << "ToolBarInterface" << "toolbar";
    QTest::newRow("settings consumer") << "SettingsConsumerInterface" << "settings";
    QTest::newRow("cloud interface") << "QoviLumen::QLMCloudPluginInterface" << "object";
    QTest::newRow("QObject") << "QObject" << "object";
    QTest::newRow("unknown") << "QoviLumen::QLMMenu" << "null";
}

void PluginBundleTest::metaCasts()
{
    QFETCH(QString, className);
    QFETCH(QString, expected);
    QObject* object = cloudObject();
    void* menu = nullptr;
    void* toolBar = nullptr;
    void* settings = nullptr;
    m_plugin->queryInterface("com.qovi.lumen.pluginInterface.Menu", &menu);
    m_plugin->queryInterface("com.qovi.lumen.pluginInterface.ToolBar", &toolBar);
    m_plugin->queryInterface("com.qovi.lumen.pluginInterface.SettingsConsumer", &settings);
    const QMap<QString, void*> pointers{{"object", object}, {"plugin", m_plugin},   {"menu", menu},
                                        {"toolbar", toolBar}, {"settings", settings}, {"null", nullptr}};
    QCOMPARE(object->qt_metacast(className.toLatin1().constData()), pointers.value(expected));
}

void PluginBundleTest::holdsAndRelease()
{
    // Its own hold, the framework's and the look-up's.
    QCOMPARE(m_plugin->holdCount(), 3);
    QPointer<QObject> object = cloudObject();
    QMetaObject::invokeMethod(object, "releaseLater");
    QCOMPARE(m_plugin->holdCount(), 2);
    m_plugin->release();
    m_plugin = nullptr;
    QVERIFY(object);
    // The framework's last release destroys it; its destructor's own release
    // must not destroy it twice (AddressSanitizer would see that).
    m_registry->unloadAll();
    QVERIFY(!object);
}

void PluginBundleTest::releaseLaterThenUseAgain()
{
    QObject* object = cloudObject();
    QMetaObject::invokeMethod(object, "importFromDropbox");
    QMetaObject::invokeMethod(object, "releaseLater");
    QCOMPARE(m_plugin->holdCount(), 2);
    // Still usable: a fresh import makes fresh accounts.
    void* cloud = nullptr;
    m_plugin->queryInterface(kCloudId, &cloud);
    QCOMPARE(static_cast<QoviLumen::QLMCloudPluginInterface*>(cloud)->cloudEmail(DROPBOX_CLOUD), QString());
    QMetaObject::invokeMethod(object, "importFromDropbox");
    m_plugin->release();
    m_plugin = nullptr;
    m_registry.reset();
}

void PluginBundleTest::resourcesOfTheBundle_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("normal") << ":/cloudNormal";
    QTest::newRow("hover") << ":/cloudHover";
    QTest::newRow("pressed") << ":/cloudPressed";
    QTest::newRow("Dropbox chooser") << ":/QoviCloudConnect/dropboxchooser.html";
    QTest::newRow("Google Drive chooser") << ":/QoviCloudConnect/gdrivechooser.html";
}

void PluginBundleTest::resourcesOfTheBundle()
{
    QFETCH(QString, path);
    // The accounts register the chooser pages when they are made.
    QMetaObject::invokeMethod(cloudObject(), "sanityCreate");
    QVERIFY(QFile::exists(path));
    if (path.contains("/cloud")) {
        const QImage image(path);
        QCOMPARE(image.size(), QSize(144, 144));
        QVERIFY(image.hasAlphaChannel());
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0); // transparent background
    }
}

QTEST_MAIN(PluginBundleTest)
#include "tst_pluginbundle.moc"
