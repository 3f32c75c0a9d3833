#pragma once

#include "qovistring.h"

#include <string>
#include <vector>

namespace QSE {

class Plugin;

// What the framework knows of one plug-in before and after loading it: its
// name, where its bundle lies (empty for a plug-in built into the player),
// the interface identifiers it offers and, once loaded, the plug-in itself.
class PluginInfo
{
public:
    PluginInfo(qovi_string name, std::string bundlePath, std::vector<qovi_string> interfaces);

    const qovi_string& name() const { return m_name; }
    const std::string& bundlePath() const { return m_bundlePath; }
    const std::vector<qovi_string>& interfaces() const { return m_interfaces; }
    bool offers(const qovi_string& id) const;

    Plugin* plugin() const { return m_plugin; }
    bool isLoaded() const { return m_plugin != nullptr; }
    void setPlugin(Plugin* plugin) { m_plugin = plugin; }

private:
    qovi_string m_name;
    std::string m_bundlePath;
    std::vector<qovi_string> m_interfaces;
    Plugin* m_plugin = nullptr;
};

} // namespace QSE
