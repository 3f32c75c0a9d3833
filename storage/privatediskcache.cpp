#include "privatediskcache.h"

#include "privatefolder.h"

#include <QStandardPaths>

namespace {

// QNetworkDiskCache's layout in Qt 5.15: "prepared" for files being
// written, "data8" with one folder per hexadecimal digit.
const char* const kPrepared = "/prepared";
const char* const kData = "/data8";

} // namespace

QString PrivateDiskCache::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/QoviClouds");
}

PrivateDiskCache::PrivateDiskCache(QObject* parent, const QString& directory)
    : QNetworkDiskCache(parent)
{
    layOut(directory);
    setCacheDirectory(directory);
    PrivateFolder::narrowTree(directory);
}

void PrivateDiskCache::clear()
{
    QNetworkDiskCache::clear();
    PrivateFolder::narrowTree(cacheDirectory());
}

void PrivateDiskCache::layOut(const QString& directory)
{
    if (!PrivateFolder::make(directory))
        return;
    PrivateFolder::make(directory + QLatin1String(kPrepared));
    for (int digit = 0; digit < 16; ++digit)
        PrivateFolder::make(directory + QLatin1String(kData) + QLatin1Char('/') + QString::number(digit, 16));
}
