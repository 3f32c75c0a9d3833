#include "cloudplugin.h"

// The one entry point of the bundle. The new plug-in holds itself; the
// framework takes its own hold and releases it at unload.
extern "C" __attribute__((visibility("default"))) int _getPlugin(QSE::PluginContext* context, QSE::Plugin** out)
{
    auto* plugin = new QoviLumen::CloudPlugin(context);
    *out = plugin;
    return 0;
}
