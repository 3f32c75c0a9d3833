#pragma once

#include "clouderror.h"
#include "cloudentry.h"

#include <QByteArray>
#include <QJsonObject>

class QNetworkReply;

// What the Drive API's answers mean: its error bodies, its file
// descriptions, and a page token it no longer takes.
class DriveAnswers
{
public:
    static constexpr const char* kApiHost = "www.googleapis.com";
    static constexpr const char* kFolderType = "application/vnd.google-apps.folder";

    // https://www.googleapis.com/path.
    static QString apiAddress(const char* path);

    static CloudError describe(const QNetworkReply* reply, const QByteArray& body);
    // A file of files.list or files.get (id, name, mimeType, size,
    // modifiedTime, parents).
    static CloudEntry entry(const QJsonObject& file);
    // files.list's 400 for a page token made before the listing changed:
    // the listing must start over.
    static bool pageTokenRefused(const QByteArray& body);
    // Google's own documents (Docs, Sheets…) have no bytes to download.
    static bool isGoogleDocument(const CloudEntry& entry);
    // A text inside a quoted term of a Drive search.
    static QString quotedTerm(QString text);
};
