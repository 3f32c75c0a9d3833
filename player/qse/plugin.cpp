#include "plugin.h"

#include "plugininfo.h"

namespace QSE {

Plugin::Plugin(PluginContext* context) : m_context(context) {}

Plugin::~Plugin()
{
    if (m_info && m_info->plugin() == this)
        m_info->setPlugin(nullptr);
}

int Plugin::retain()
{
    return ++m_holds;
}

int Plugin::release()
{
    // A plug-in may release its own hold from its destructor.
    if (m_destroying)
        return 0;
    if (m_holds > 0 && --m_holds == 0) {
        m_destroying = true;
        delete this;
        return 0;
    }
    return m_holds;
}

int Plugin::holdCount() const
{
    return m_holds;
}

PluginInfo* Plugin::getPluginInfo() const
{
    return m_info;
}

PluginContext* Plugin::getPluginContext() const
{
    return m_context;
}

void Plugin::setPluginInfo(PluginInfo* info)
{
    m_info = info;
}

} // namespace QSE
