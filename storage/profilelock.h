#pragma once

#include <QString>

// An exclusive lock between the processes of one profile (the player and
// qovi-cloud, say), held from construction to destruction. The system drops
// it with the process, however that ends.
class ProfileLock
{
public:
    // Waits at most boundMs for a holder to let go.
    ProfileLock(const QString& path, int boundMs);
    ~ProfileLock();
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;

    bool isHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
