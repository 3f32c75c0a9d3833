// The plug-in framework stand-in: loading bundles from a folder, refusing
// what cannot be loaded, looking plug-ins up, and counting holds.
#include "menuinterface.h"
#include "plugin.h"
#include "plugincontext.h"
#include "plugininfo.h"
#include "pluginregistry.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char* const kId = "com.example.Interface";

int g_destroyed = 0;

// Releases its own hold from its destructor, as the cloud plug-in does.
class SelfReleasingPlugin : public QSE::Plugin
{
public:
    explicit SelfReleasingPlugin(QSE::PluginContext* context) : QSE::Plugin(context) { retain(); }
    ~SelfReleasingPlugin() override
    {
        release();
        ++g_destroyed;
    }
    int queryInterface(const QSE::qovi_string& id, void** out) override
    {
        *out = id == kId ? this : nullptr;
        return *out ? 0 : 3;
    }
};

void writeDescription(const QString& path, const QString& name)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral(R"({"name": "%1", "interfaces": ["com.qovi.lumen.pluginInterface.Menu"]})")
                   .arg(name)
                   .toUtf8());
}

} // namespace

class PluginFrameworkTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { g_destroyed = 0; }
    void folderWithBadBundles();
    void lookUpHonoursTheLoadFlag();
    void selectorPrefersTheLoadedPlugin();
    void releaseFromDestructorIsTolerated();
    void pluginStillHeldAtUnload();
};

void PluginFrameworkTest::folderWithBadBundles()
{
    QTemporaryDir folder;
    const QString dir = folder.path();
    QVERIFY(QFile::copy(LUMEN_PLUGIN_DIR "/QoviCloudConnect.so", dir + "/QoviCloudConnect.so"));
    QVERIFY(QFile::copy(LUMEN_PLUGIN_DIR "/QoviCloudConnect.json", dir + "/QoviCloudConnect.json"));
    QFile text(dir + "/notes.so");
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("this is not a library\n");
    text.close();
    writeDescription(dir + "/notes.json", "notes");
    QVERIFY(QFile::copy(NOENTRY_LIBRARY, dir + "/noentry.so"));
    writeDescription(dir + "/noentry.json", "noentry");
    QVERIFY(QFile::copy(NOENTRY_LIBRARY, dir + "/undescribed.so"));

    QSE::PluginRegistry registry;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("skipped .*/noentry\\.so: the library exports no _getPlugin$"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("skipped .*/notes\\.so: not a loadable library \\(.+\\)$"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("skipped .*/undescribed\\.so: no description beside it"));
    QCOMPARE(registry.loadFolder(dir.toStdString()), 1);

    QSE::Plugin* found = nullptr;
    const QSE::PluginContext::PluginInterfaceFilter filter("com.qovi.lumen.pluginInterface.Menu");
    QCOMPARE(registry.findPlugin(filter, QSE::PluginContext::SimplePluginInfoSelector(), true, &found), 0);
    QCOMPARE(found->getPluginInfo()->name(), QSE::qovi_string("QoviCloudConnect"));
    void* menu = nullptr;
    QCOMPARE(found->queryInterface("com.qovi.lumen.pluginInterface.Menu", &menu), 0);
    QVERIFY(QMetaObject::invokeMethod(static_cast<QoviLumen::MenuInterface*>(menu)->menuObject(), "releaseLater"));
    found->release();
}

void PluginFrameworkTest::lookUpHonoursTheLoadFlag()
{
    QSE::PluginRegistry registry;
    QSE::PluginInfo* info = registry.addBundle(LUMEN_PLUGIN_DIR "/QoviCloudConnect.so");
    QVERIFY(info);
    QVERIFY(!info->isLoaded());
    const QSE::PluginContext::PluginInterfaceFilter filter("com.qovi.lumen.pluginInterface.ToolBar");
    const QSE::PluginContext::SimplePluginInfoSelector selector;
    QSE::Plugin* found = reinterpret_cast<QSE::Plugin*>(0x1);
    QCOMPARE(registry.findPlugin(filter, selector, false, &found), 3);
    QVERIFY(!found);
    QCOMPARE(registry.findPlugin(filter, selector, true, &found), 0);
    QVERIFY(info->isLoaded());
    QCOMPARE(found, info->plugin());
    const QSE::PluginContext::PluginInterfaceFilter other("com.qovi.lumen.pluginInterface.DownloadManager");
    QSE::Plugin* none = nullptr;
    QCOMPARE(registry.findPlugin(other, selector, true, &none), 3);
    // The bundle's plug-in holds itself until the player releases it.
    void* menu = nullptr;
    QCOMPARE(found->queryInterface("com.qovi.lumen.pluginInterface.Menu", &menu), 0);
    QVERIFY(QMetaObject::invokeMethod(static_cast<QoviLumen::MenuInterface*>(menu)->menuObject(), "releaseLater"));
    QCOMPARE(found->release(), 1);
}

void PluginFrameworkTest::selectorPrefersTheLoadedPlugin()
{
    QSE::PluginInfo unloaded("a", "/nowhere/a.so", {kId});
    QSE::PluginInfo loaded("b", "", {kId});
    auto* plugin = new SelfReleasingPlugin(nullptr);
    loaded.setPlugin(plugin);
    const QSE::PluginContext::SimplePluginInfoSelector select;
    QCOMPARE(select(&unloaded, &loaded), &loaded);
    QCOMPARE(select(&loaded, &unloaded), &loaded);
    QSE::PluginInfo alsoUnloaded("c", "/nowhere/c.so", {kId});
    QCOMPARE(select(&unloaded, &alsoUnloaded), &unloaded);
    QCOMPARE(select(nullptr, &unloaded), &unloaded);
    plugin->release();
    QCOMPARE(g_destroyed, 1);
}

void PluginFrameworkTest::releaseFromDestructorIsTolerated()
{
    QSE::PluginRegistry registry;
    auto* plugin = new SelfReleasingPlugin(&registry);
    QSE::PluginInfo* info = registry.registerPlugin("self", {kId}, plugin);
    QCOMPARE(plugin->holdCount(), 2);
    QCOMPARE(plugin->getPluginInfo(), info);
    QCOMPARE(plugin->getPluginContext(), static_cast<QSE::PluginContext*>(&registry));

    QSE::Plugin* found = nullptr;
    QCOMPARE(registry.findPlugin(QSE::PluginContext::PluginInterfaceFilter(kId),
                                 QSE::PluginContext::SimplePluginInfoSelector(), false, &found),
             0);
    QCOMPARE(found->holdCount(), 3);
    QCOMPARE(found->release(), 2);
    QCOMPARE(plugin->release(), 1); // the plug-in gives up its own hold
    registry.unloadAll();
    QCOMPARE(g_destroyed, 1);
}

void PluginFrameworkTest::pluginStillHeldAtUnload()
{
    auto registry = std::make_unique<QSE::PluginRegistry>();
    auto* plugin = new SelfReleasingPlugin(registry.get());
    registry->registerPlugin("self", {kId}, plugin);
    registry->unloadAll(); // the plug-in still holds itself
    QCOMPARE(g_destroyed, 0);
    QCOMPARE(plugin->holdCount(), 1);
    QVERIFY(!plugin->getPluginInfo());
    plugin->release();
    QCOMPARE(g_destroyed, 1);
}

QTEST_GUILESS_MAIN(PluginFrameworkTest)
#include "tst_pluginframework.moc"
