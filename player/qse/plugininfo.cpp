#include "plugininfo.h"

#include <algorithm>

namespace QSE {

PluginInfo::PluginInfo(qovi_string name, std::string bundlePath, std::vector<qovi_string> interfaces)
    : m_name(std::move(name)), m_bundlePath(std::move(bundlePath)), m_interfaces(std::move(interfaces))
{
}

bool PluginInfo::offers(const qovi_string& id) const
{
    return std::find(m_interfaces.begin(), m_interfaces.end(), id) != m_interfaces.end();
}

} // namespace QSE
