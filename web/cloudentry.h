#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QVector>

// One file or folder of a cloud account, whatever the service: what a
// listing shows and what a person picks.
struct CloudEntry {
    QString id;        // Dropbox "id:…", a Drive file id
    QString name;
    QString path;      // Dropbox's path as displayed; Drive: empty unless looked up by path
    QString parentId;  // Drive: the first parent folder
    bool folder = false;
    qint64 size = -1;  // bytes; -1 for a folder or when the service does not tell
    QDateTime modified;
    QString mimeType;  // where the service gives one (Drive)

    bool operator==(const CloudEntry& other) const { return id == other.id && path == other.path; }

    // "1.5 GiB", "734 bytes": sizes as people read them.
    static QString readableSize(quint64 bytes);
};

using CloudEntries = QVector<CloudEntry>;

Q_DECLARE_METATYPE(CloudEntry)
Q_DECLARE_METATYPE(CloudEntries)
