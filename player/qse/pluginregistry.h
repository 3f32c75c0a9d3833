#pragma once

#include "plugincontext.h"
#include "plugininfo.h"

#include <memory>
#include <string>
#include <vector>

namespace QSE {

// The player's plug-in framework: plug-ins built into the player and
// plug-in bundles loaded from a folder, each described by a JSON file beside
// it ("<bundle name>.json": {"name": ..., "interfaces": [...]}). The
// framework holds every plug-in it loaded once, until unloadAll().
class PluginRegistry : public PluginContext
{
public:
    using EntryFunction = int (*)(PluginContext*, Plugin**);

    PluginRegistry();
    ~PluginRegistry() override;
    PluginRegistry(const PluginRegistry&) = delete;
    PluginRegistry& operator=(const PluginRegistry&) = delete;

    // Adds and loads every described "*.so" bundle of the folder; a bundle
    // that cannot be loaded is skipped with one message. Answers how many loaded.
    int loadFolder(const std::string& folder);
    // Adds a bundle by its description, without loading it; null when the
    // description is missing or unreadable.
    PluginInfo* addBundle(const std::string& bundlePath);
    bool load(PluginInfo* info);
    // A plug-in built into the player; the framework takes one hold on it.
    PluginInfo* registerPlugin(const qovi_string& name, std::vector<qovi_string> interfaces, Plugin* plugin);

    int findPlugin(const PluginInfoFilter& filter, const PluginInfoSelector& selector, bool load,
                   Plugin** out) override;

    std::vector<PluginInfo*> plugins() const;
    // Gives up the framework's holds, last registered first, and closes the
    // bundles of the plug-ins that are gone.
    void unloadAll();

private:
    struct LibraryCloser {
        void operator()(void* handle) const;
    };
    struct Entry {
        std::unique_ptr<PluginInfo> info;
        std::unique_ptr<void, LibraryCloser> library;
    };

    static void flushDeferredDeletes();

    std::vector<Entry> m_entries;
};

} // namespace QSE
