#pragma once

#include <QMetaType>

// The cloud kinds and pinged actions travel through the plug-in's public
// slots and signals as plain numbers; any int value may arrive, hence the
// fixed underlying type.
enum CLOUD_TYPE : int {
    DROPBOX_CLOUD = 0,
    GDRIVE_CLOUD = 1,
};

enum ACTION_TYPE : int {
    REGISTER_ACTION = 0,
    DEREGISTER_ACTION = 1,
    IMPORT_ACTION = 2,
};

Q_DECLARE_METATYPE(CLOUD_TYPE)
Q_DECLARE_METATYPE(ACTION_TYPE)
