#pragma once

#include "qovistring.h"

namespace QoviLumen::InterfaceIds {

extern const QSE::qovi_string Menu;
extern const QSE::qovi_string CloudPluginInterface;
extern const QSE::qovi_string ToolBar;
extern const QSE::qovi_string SettingsConsumer;
extern const QSE::qovi_string DownloadManager;
extern const QSE::qovi_string MediaManager;
extern const QSE::qovi_string PlaybackServices;
extern const QSE::qovi_string BasicPlayback;
extern const QSE::qovi_string SkinManager;

} // namespace QoviLumen::InterfaceIds
