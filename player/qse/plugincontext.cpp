#include "plugincontext.h"

#include "plugininfo.h"

namespace QSE {

PluginContext::PluginInterfaceFilter::PluginInterfaceFilter(qovi_string id) : m_id(std::move(id)) {}

bool PluginContext::PluginInterfaceFilter::operator()(PluginInfo* info) const
{
    return info && info->offers(m_id);
}

PluginInfo* PluginContext::SimplePluginInfoSelector::operator()(PluginInfo* first, PluginInfo* second) const
{
    if (!first)
        return second;
    if (second && second->isLoaded() && !first->isLoaded())
        return second;
    return first;
}

} // namespace QSE
