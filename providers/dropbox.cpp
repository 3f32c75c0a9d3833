#include "dropbox.h"

DropBox::DropBox(const qvtl::string& applicationName) : CloudBase(DROPBOX_CLOUD, applicationName.str(), "dbEmail") {}
