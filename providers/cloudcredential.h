#pragma once

#include "cloudtypes.h"

#include <string>

// The credentials a service knows an application by. kind -1 asks for the
// public identifier (Dropbox app key, Google client id), 0 for the Google
// client secret. The empty text when there is none.
std::string cloudCredential(const std::string& applicationName, CLOUD_TYPE cloudType, int kind);
