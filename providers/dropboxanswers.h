#pragma once

#include "clouderror.h"
#include "cloudentry.h"

#include <QByteArray>
#include <QJsonObject>
#include <QUrl>

class QNetworkReply;

// What Dropbox's API answers mean: its error bodies, its file and folder
// metadata, and a listing cursor it no longer knows.
class DropboxAnswers
{
public:
    static constexpr const char* kApiHost = "api.dropboxapi.com";
    static constexpr const char* kWebHost = "www.dropbox.com";

    // https://host/path.
    static QUrl endpoint(const char* host, const char* path);

    static CloudError describe(const QNetworkReply* reply, const QByteArray& body);
    // A file or folder of list_folder, search_v2 or get_metadata; an entry
    // without an id for anything else (a deleted entry, say).
    static CloudEntry entry(const QJsonObject& metadata);
    // list_folder/continue's answer to a cursor made before the folder was
    // reset: the listing must start over.
    static bool cursorReset(const QByteArray& body);
};
