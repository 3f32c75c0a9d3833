#pragma once

#include "cloudfiles.h"

#include <QHash>

// A Google Drive's files, reached through the Drive API: folders by id
// (the top is "root"), searches by name, paths walked folder by folder, and
// each file's bytes at its own address with the account's Authorization
// (never a token in an address).
class DriveFiles : public CloudFiles
{
    Q_OBJECT
public:
    DriveFiles(TokenSource& tokens, QObject* parent = nullptr);

    QString serviceName() const override;
    void preconnect() override;
    CloudEntry top() const override;
    PagedListing* list(const CloudEntry& folder, QObject* parent) override;
    PagedListing* search(const QString& text, QObject* parent) override;
    ChoiceJob* choose(const CloudEntries& files, QObject* parent) override;
    EntryLookup* lookup(const QString& path, QObject* parent) override;
    FileDownload* download(const CloudEntry& file, const QString& localPath, QObject* parent) override;

    // files.get with alt=media: the file's bytes.
    static QUrl mediaUrl(const QString& fileId);

private:
    QHash<QString, QString> m_folderPaths; // learnt by searches: id -> path
};
