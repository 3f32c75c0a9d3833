#pragma once

#include <QNetworkDiskCache>

// The accounts' HTTP cache, owner-only: its folders 0700 and its files 0600.
// The cache's own folders are made with their final mode in the
// constructor, before the base class lays them out, and again after a
// clear; the files come from temporary files, 0600 already.
class PrivateDiskCache : public QNetworkDiskCache
{
    Q_OBJECT
public:
    // The folder the accounts keep their cache in.
    static QString defaultDirectory();

    explicit PrivateDiskCache(QObject* parent, const QString& directory = defaultDirectory());

    void clear() override;

private:
    void layOut(const QString& directory);
};
