#pragma once

#include "qvtlstring.h"

#include <QJsonObject>
#include <QString>

#include <functional>

namespace qvs {

// One JSON document on disk, readable by its owner only. Anything that
// cannot be read back as a JSON object reads as an empty object, so a lost
// or damaged file means "nothing stored", never a failure of the caller.
// Something other than a regular file in its place (a named pipe, say) is
// refused unopened, with a warning; a file that exists but cannot be read
// is never written over; a write that fails leaves the old file whole.
class SettingsFile
{
public:
    // A file at a path relative to rootFolder(); without a configuration
    // location the file has no path and reads as empty.
    explicit SettingsFile(const QString& relativePath);

    // The folder under the user's configuration location holding every file.
    static QString rootFolder();
    // Names arrive as UTF-8 bytes; false for bytes that are not UTF-8, which
    // would otherwise collide with other names after replacement.
    static bool toName(const qvtl::string& text, QString& name);

    const QString& path() const { return m_path; }
    // readable: false when a file is there that cannot be read.
    QJsonObject read(bool* readable = nullptr) const;
    bool write(const QJsonObject& content) const;
    // Reads, changes and writes the file under a lock that other processes
    // of the library respect. change answers whether there is anything to
    // write; false when the file cannot be read or written.
    bool update(const std::function<bool(QJsonObject&)>& change) const;
    // Creates the missing folders down to the file, owner-only.
    bool makeFolders() const;

private:
    QString m_path;
};

} // namespace qvs
