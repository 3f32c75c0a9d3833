#include "privatefolder.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

bool narrow(const QString& path, mode_t mode)
{
    struct stat info {};
    const QByteArray name = QFile::encodeName(path);
    if (::lstat(name.constData(), &info) != 0)
        return errno == ENOENT;
    if (S_ISLNK(info.st_mode) || (info.st_mode & 07777) == mode)
        return true;
    return ::chmod(name.constData(), mode) == 0;
}

bool makeMissing(const QString& folder)
{
    if (QFileInfo(folder).isDir())
        return true;
    const QString parent = QFileInfo(folder).path();
    if (parent != folder && !makeMissing(parent))
        return false;
    if (::mkdir(QFile::encodeName(folder).constData(), kFolderMode) == 0)
        return true;
    return errno == EEXIST && QFileInfo(folder).isDir();
}

} // namespace

bool PrivateFolder::make(const QString& folder)
{
    return !folder.isEmpty() && makeMissing(folder) && narrow(folder, kFolderMode);
}

bool PrivateFolder::narrowTree(const QString& folder)
{
    bool narrowed = narrow(folder, kFolderMode);
    QDirIterator entries(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        entries.next();
        const QFileInfo entry = entries.fileInfo();
        if (!entry.isSymLink())
            narrowed = narrow(entry.filePath(), entry.isDir() ? kFolderMode : kFileMode) && narrowed;
    }
    return narrowed;
}

bool PrivateFolder::narrowFile(const QString& path)
{
    return narrow(path, kFileMode);
}
