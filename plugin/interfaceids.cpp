#include "interfaceids.h"

namespace QoviLumen::InterfaceIds {

const QSE::qovi_string Menu("com.qovi.lumen.pluginInterface.Menu");
const QSE::qovi_string CloudPluginInterface("com.qovi.lumen.pluginInterface.CloudPluginInterface");
const QSE::qovi_string ToolBar("com.qovi.lumen.pluginInterface.ToolBar");
const QSE::qovi_string SettingsConsumer("com.qovi.lumen.pluginInterface.SettingsConsumer");
const QSE::qovi_string DownloadManager("com.qovi.lumen.pluginInterface.DownloadManager");
const QSE::qovi_string MediaManager("com.qovi.lumen.pluginInterface.MediaManager");
const QSE::qovi_string PlaybackServices("com.qovi.lumen.pluginInterface.PlaybackServices");
const QSE::qovi_string BasicPlayback("com.qovi.playback.interface.BasicPlayback");
const QSE::qovi_string SkinManager("com.qovi.playback.interface.SkinManager");

} // namespace QoviLumen::InterfaceIds
