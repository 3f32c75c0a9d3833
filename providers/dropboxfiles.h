#pragma once

#include "cloudfiles.h"

class ApiCall;

// A Dropbox account's files, reached through its API: folders by path,
// searches by name, metadata, and temporary links (valid four hours) for
// the bytes, which the player streams as it did the Chooser's direct links.
class DropboxFiles : public CloudFiles
{
    Q_OBJECT
public:
    DropboxFiles(TokenSource& tokens, QObject* parent = nullptr);

    QString serviceName() const override;
    void preconnect() override;
    CloudEntry top() const override;
    PagedListing* list(const CloudEntry& folder, QObject* parent) override;
    PagedListing* search(const QString& text, QObject* parent) override;
    ChoiceJob* choose(const CloudEntries& files, QObject* parent) override;
    EntryLookup* lookup(const QString& path, QObject* parent) override;
    CloudEntry folderAt(const QString& path) const override;
    FileDownload* download(const CloudEntry& file, const QString& localPath, QObject* parent) override;

    // files/get_temporary_link for a file (by id, else by path).
    ApiCall* linkCall(const CloudEntry& file, QObject* parent);
    // An RPC call of the API with a JSON body.
    ApiCall* rpcCall(const char* path, const QJsonObject& arguments, QObject* parent);
};
