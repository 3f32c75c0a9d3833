#include "settingsfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace qvs {

Q_LOGGING_CATEGORY(lcSettings, "qovi.settings")

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr int kLockBoundMs = 2000;

// The library's lock between processes: one hidden file at the root. The
// system drops it with its holder, however that ends.
class RootLock
{
public:
    RootLock()
    {
        const QString root = SettingsFile::rootFolder();
        if (root.isEmpty())
            return;
        const QByteArray path = QFile::encodeName(root + QStringLiteral("/.lock"));
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return;
        QElapsedTimer waited;
        waited.start();
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || waited.elapsed() >= kLockBoundMs) {
                ::close(fd);
                return;
            }
            QThread::msleep(2);
        }
        m_fd = fd;
    }
    ~RootLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;
    bool isHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

void refuse(const QString& path)
{
    qCWarning(lcSettings, "QoviSettings: %s is not a regular file; refused", qUtf8Printable(path));
}

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

QJsonObject SettingsFile::read(bool* readable) const
{
    bool ignored = false;
    bool& canRead = readable ? *readable : ignored;
    canRead = false;
    if (m_path.isEmpty())
        return {};
    // Never blocks: a named pipe opened for reading would wait for a writer.
    const int fd = ::open(nativeName(m_path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        canRead = errno == ENOENT;
        return {};
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        refuse(m_path);
        return {};
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {};
    canRead = true;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {};
    return document.object();
}

bool SettingsFile::write(const QJsonObject& content) const
{
    if (!makeFolders())
        return false;
    struct stat info {};
    if (::stat(nativeName(m_path).constData(), &info) == 0 && !S_ISREG(info.st_mode)) {
        refuse(m_path);
        return false;
    }
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // The temporary file is narrowed before any byte goes into it; the
    // rename on commit keeps its mode.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const QByteArray bytes = QJsonDocument(content).toJson(QJsonDocument::Compact);
    // Qt 5's commit() misses a failed flush of buffered bytes (a full disk)
    // and would rename a short file over the old one: every step is checked
    // before it, and a failure leaves the old file as it was.
    if (file.write(bytes) != bytes.size() || !file.flush() || ::fsync(file.handle()) != 0) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool SettingsFile::update(const std::function<bool(QJsonObject&)>& change) const
{
    if (!makeFolders())
        return false;
    const RootLock lock;
    if (!lock.isHeld())
        return false;
    bool readable = false;
    QJsonObject content = read(&readable);
    if (!readable)
        return false;
    return !change(content) || write(content);
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
