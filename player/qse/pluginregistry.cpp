#include "pluginregistry.h"

#include "plugin.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QtGlobal>

#include <algorithm>

#include <dlfcn.h>

namespace QSE {

namespace {

// A category of the player's own: its hosts tell these warnings from Qt's.
Q_LOGGING_CATEGORY(framework, "lumen.framework")

QString descriptionPath(const QFileInfo& bundle)
{
    return bundle.absolutePath() + QLatin1Char('/') + bundle.completeBaseName() + QStringLiteral(".json");
}

void skip(const std::string& bundlePath, const QString& why)
{
    qCWarning(framework, "plug-in framework: skipped %s: %s", bundlePath.c_str(), qPrintable(why));
}

} // namespace

void PluginRegistry::flushDeferredDeletes()
{
    if (QCoreApplication::instance())
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void PluginRegistry::LibraryCloser::operator()(void* handle) const
{
    dlclose(handle);
}

PluginRegistry::PluginRegistry() = default;

PluginRegistry::~PluginRegistry()
{
    unloadAll();
}

int PluginRegistry::loadFolder(const std::string& folder)
{
    int loaded = 0;
    const QDir dir(QString::fromStdString(folder));
    const QFileInfoList bundles = dir.entryInfoList({QStringLiteral("*.so")}, QDir::Files, QDir::Name);
    for (const QFileInfo& bundle : bundles) {
        PluginInfo* info = addBundle(bundle.absoluteFilePath().toStdString());
        if (info && load(info))
            ++loaded;
    }
    return loaded;
}

PluginInfo* PluginRegistry::addBundle(const std::string& bundlePath)
{
    QFile file(descriptionPath(QFileInfo(QString::fromStdString(bundlePath))));
    if (!file.open(QIODevice::ReadOnly)) {
        skip(bundlePath, QStringLiteral("no description beside it (%1)").arg(file.fileName()));
        return nullptr;
    }
    const QJsonObject description = QJsonDocument::fromJson(file.readAll()).object();
    const QString name = description.value(QStringLiteral("name")).toString();
    if (name.isEmpty()) {
        skip(bundlePath, QStringLiteral("its description has no name"));
        return nullptr;
    }
    std::vector<qovi_string> interfaces;
    for (const QJsonValue& id : description.value(QStringLiteral("interfaces")).toArray())
        interfaces.emplace_back(id.toString().toStdString());

    m_entries.push_back({std::make_unique<PluginInfo>(name.toStdString(), bundlePath, std::move(interfaces)),
                         nullptr});
    return m_entries.back().info.get();
}

bool PluginRegistry::load(PluginInfo* info)
{
    if (!info || info->isLoaded())
        return info != nullptr;
    auto entry = std::find_if(m_entries.begin(), m_entries.end(),
                              [info](const Entry& e) { return e.info.get() == info; });
    if (entry == m_entries.end() || info->bundlePath().empty())
        return false;

    const std::string& path = info->bundlePath();
    // A bundle's code stays mapped after its last close: libraries it used
    // (the web engine's script runtime, the resource system, the type
    // registry) keep pointers into it for the life of the process.
    std::unique_ptr<void, LibraryCloser> library(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!library) {
        skip(path, QStringLiteral("not a loadable library (%1)").arg(QString::fromLocal8Bit(dlerror())));
        return false;
    }
    auto entryFunction = reinterpret_cast<EntryFunction>(dlsym(library.get(), "_getPlugin"));
    if (!entryFunction) {
        skip(path, QStringLiteral("the library exports no _getPlugin"));
        return false;
    }
    Plugin* plugin = nullptr;
    const int rc = entryFunction(this, &plugin);
    if (rc != 0 || !plugin) {
        skip(path, QStringLiteral("_getPlugin failed (%1)").arg(rc));
        return false;
    }
    plugin->retain();
    plugin->setPluginInfo(info);
    info->setPlugin(plugin);
    entry->library = std::move(library);
    return true;
}

PluginInfo* PluginRegistry::registerPlugin(const qovi_string& name, std::vector<qovi_string> interfaces,
                                           Plugin* plugin)
{
    m_entries.push_back({std::make_unique<PluginInfo>(name, std::string(), std::move(interfaces)), nullptr});
    PluginInfo* info = m_entries.back().info.get();
    if (plugin) {
        plugin->retain();
        plugin->setPluginInfo(info);
        info->setPlugin(plugin);
    }
    return info;
}

int PluginRegistry::findPlugin(const PluginInfoFilter& filter, const PluginInfoSelector& selector, bool load,
                               Plugin** out)
{
    *out = nullptr;
    PluginInfo* chosen = nullptr;
    for (const Entry& entry : m_entries) {
        PluginInfo* candidate = entry.info.get();
        const bool reachable = candidate->isLoaded() || (load && !candidate->bundlePath().empty());
        if (reachable && filter(candidate))
            chosen = chosen ? selector(chosen, candidate) : candidate;
    }
    if (!chosen || !this->load(chosen))
        return 3;
    chosen->plugin()->retain();
    *out = chosen->plugin();
    return 0;
}

std::vector<PluginInfo*> PluginRegistry::plugins() const
{
    std::vector<PluginInfo*> infos;
    for (const Entry& entry : m_entries)
        infos.push_back(entry.info.get());
    return infos;
}

void PluginRegistry::unloadAll()
{
    flushDeferredDeletes();
    while (!m_entries.empty()) {
        Entry& entry = m_entries.back();
        if (Plugin* plugin = entry.info->plugin()) {
            plugin->setPluginInfo(nullptr);
            entry.info->setPlugin(nullptr);
            const bool stillHeld = plugin->release() > 0;
            // What the plug-in released with deleteLater() runs its code.
            flushDeferredDeletes();
            if (stillHeld && entry.library) {
                // Its code must stay mapped while somebody still holds it.
                qCWarning(framework, "plug-in framework: %s is still held at unload; its bundle stays loaded",
                         entry.info->name().c_str());
                (void)entry.library.release();
            }
        }
        m_entries.pop_back();
    }
}

} // namespace QSE
