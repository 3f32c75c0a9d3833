#pragma once

#include "qovistring.h"

namespace QSE {

class Plugin;
class PluginInfo;

// The framework as a plug-in sees it: the look-up of other plug-ins.
class PluginContext
{
public:
    class PluginInfoFilter
    {
    public:
        virtual ~PluginInfoFilter() = default;
        virtual bool operator()(PluginInfo* info) const = 0;
    };

    // Accepts the plug-ins whose description lists the interface.
    class PluginInterfaceFilter : public PluginInfoFilter
    {
    public:
        explicit PluginInterfaceFilter(qovi_string id);
        bool operator()(PluginInfo* info) const override;

    private:
        qovi_string m_id;
    };

    class PluginInfoSelector
    {
    public:
        virtual ~PluginInfoSelector() = default;
        // Chooses one of two candidates.
        virtual PluginInfo* operator()(PluginInfo* first, PluginInfo* second) const = 0;
    };

    // Prefers a plug-in already loaded, then the one registered first.
    class SimplePluginInfoSelector : public PluginInfoSelector
    {
    public:
        PluginInfo* operator()(PluginInfo* first, PluginInfo* second) const override;
    };

    virtual ~PluginContext() = default;

    // 0 with *out set to the chosen plug-in, retained for the caller; 3 with
    // *out null when no plug-in passes the filter (or none is loaded and
    // loading is not allowed, or loading failed).
    virtual int findPlugin(const PluginInfoFilter& filter, const PluginInfoSelector& selector, bool load,
                           Plugin** out) = 0;
};

} // namespace QSE
