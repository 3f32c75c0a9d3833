#include "profilelock.h"

#include "privatefolder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

ProfileLock::ProfileLock(const QString& path, int boundMs)
{
    if (path.isEmpty() || !PrivateFolder::make(QFileInfo(path).path()))
        return;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    QElapsedTimer waited;
    waited.start();
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited.elapsed() >= boundMs) {
            ::close(fd);
            return;
        }
        QThread::msleep(5);
    }
    m_fd = fd;
}

ProfileLock::~ProfileLock()
{
    if (m_fd >= 0)
        ::close(m_fd); // closing drops the lock
}
