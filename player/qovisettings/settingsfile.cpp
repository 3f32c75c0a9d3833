#include "settingsfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

namespace qvs {

namespace {

constexpr mode_t kFolderMode = 0700;

QByteArray nativeName(const QString& path)
{
    return QFile::encodeName(path);
}

// mkdir with the final mode from the start: a folder made with the default
// mode and narrowed afterwards would be open to others for a moment.
bool makeFolder(const QString& folder)
{
    if (QFileInfo(folder).isDir())
        return true;
    const QString parent = QFileInfo(folder).path();
    if (parent != folder && !makeFolder(parent))
        return false;
    if (::mkdir(nativeName(folder).constData(), kFolderMode) == 0)
        return true;
    return errno == EEXIST && QFileInfo(folder).isDir();
}

// Folders of ours that already existed may carry a wider mode.
bool narrowFolders(const QString& deepest, const QString& root)
{
    for (QString folder = deepest;; folder = QFileInfo(folder).path()) {
        if (::chmod(nativeName(folder).constData(), kFolderMode) != 0)
            return false;
        if (folder == root || folder == QFileInfo(folder).path())
            return true;
    }
}

} // namespace

SettingsFile::SettingsFile(const QString& relativePath)
{
    const QString root = rootFolder();
    if (!root.isEmpty())
        m_path = QDir::cleanPath(root + QLatin1Char('/') + relativePath);
}

QString SettingsFile::rootFolder()
{
    const QString location = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (location.isEmpty())
        return {};
    return QDir::cleanPath(location + QStringLiteral("/QoviSettings"));
}

bool SettingsFile::toName(const qvtl::string& text, QString& name)
{
    const int length = static_cast<int>(text.size());
    if (text.size() != static_cast<std::size_t>(length))
        return false;
    QString decoded = QString::fromUtf8(text.data(), length);
    if (decoded.toUtf8() != QByteArray::fromRawData(text.data(), length))
        return false;
    name = std::move(decoded);
    return true;
}

QJsonObject SettingsFile::read() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {};
    return document.object();
}

bool SettingsFile::write(const QJsonObject& content) const
{
    if (!makeFolders())
        return false;
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // The temporary file is narrowed before any byte goes into it; the
    // rename on commit keeps its mode.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const QByteArray bytes = QJsonDocument(content).toJson(QJsonDocument::Compact);
    if (file.write(bytes) != bytes.size())
        return false;
    return file.commit();
}

bool SettingsFile::makeFolders() const
{
    if (m_path.isEmpty())
        return false;
    const QString folder = QFileInfo(m_path).path();
    const QString root = rootFolder();
    if (folder != root && !folder.startsWith(root + QLatin1Char('/')))
        return false;
    return makeFolder(folder) && narrowFolders(folder, root);
}

} // namespace qvs
