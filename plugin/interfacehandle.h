#pragma once

#include "qovistring.h"

namespace QSE {
class Plugin;
class PluginContext;
} // namespace QSE

namespace QoviLumen {

// One look-up of a player interface: holds the plug-in that offers it for
// as long as the handle lives.
class InterfaceHandle
{
public:
    InterfaceHandle(QSE::PluginContext* context, const QSE::qovi_string& id);
    ~InterfaceHandle();
    InterfaceHandle(const InterfaceHandle&) = delete;
    InterfaceHandle& operator=(const InterfaceHandle&) = delete;

    // 0 when the interface is available, 3 otherwise.
    int status() const { return m_interface ? 0 : 3; }
    template <typename T>
    T* as() const
    {
        return static_cast<T*>(m_interface);
    }

private:
    QSE::Plugin* m_plugin = nullptr;
    void* m_interface = nullptr;
};

} // namespace QoviLumen
