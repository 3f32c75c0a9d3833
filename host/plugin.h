#pragma once

#include "qovistring.h"

namespace QSE {

class PluginContext;
class PluginInfo;

// Base of every plug-in. The framework and the plug-in itself hold it by
// count; the last release() destroys it. A release() made while the plug-in
// is already being destroyed (from its own destructor) is tolerated.
class Plugin
{
public:
    explicit Plugin(PluginContext* context);
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    virtual ~Plugin();
    virtual int retain();
    virtual int release();
    virtual int holdCount() const;
    virtual PluginInfo* getPluginInfo() const;
    virtual PluginContext* getPluginContext() const;
    // 0 with *out set when the plug-in offers the interface; 3 and null otherwise.
    virtual int queryInterface(const qovi_string& id, void** out) = 0;

    // Set by the framework when it registers the plug-in.
    void setPluginInfo(PluginInfo* info);

private:
    PluginContext* m_context;
    PluginInfo* m_info = nullptr;
    int m_holds = 0;
    bool m_destroying = false;
};

} // namespace QSE
