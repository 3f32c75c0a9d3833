#include "interfacehandle.h"

#include "plugin.h"
#include "plugincontext.h"

namespace QoviLumen {

InterfaceHandle::InterfaceHandle(QSE::PluginContext* context, const QSE::qovi_string& id)
{
    if (!context)
        return;
    const QSE::PluginContext::PluginInterfaceFilter filter(id);
    const QSE::PluginContext::SimplePluginInfoSelector selector;
    if (context->findPlugin(filter, selector, true, &m_plugin) != 0 || !m_plugin) {
        m_plugin = nullptr;
        return;
    }
    if (m_plugin->queryInterface(id, &m_interface) != 0) {
        m_plugin->release();
        m_plugin = nullptr;
        m_interface = nullptr;
    }
}

InterfaceHandle::~InterfaceHandle()
{
    if (m_plugin)
        m_plugin->release();
}

} // namespace QoviLumen
