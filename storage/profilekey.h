#pragma once

#include "secretkey.h"

#include <QElapsedTimer>
#include <QSet>
#include <QString>

// The key that protects this profile's token records and web sessions: a
// random 256-bit key, one per profile (the user's configuration folder),
// created at first use and kept by the desktop's secret service, never in a
// file or the log. In the process it is held in locked memory and wiped at
// exit. Without a keyring that answers, the callers keep the older
// record; this says so once in the log. Process-wide; UI thread only.
class ProfileKey
{
public:
    static ProfileKey& instance();

    // The key to open sealed records with, or null: reading never creates one.
    const SecretKey* forReading();
    // The key to seal with, created when the keyring has none yet; null when
    // no keyring answers.
    const SecretKey* forWriting();
    // Whether new records would be sealed: the keyring gave a key or has none yet.
    bool keyringAnswers();
    // Why the last call got no key, for the callers' log lines.
    const QString& whyNoKey() const { return m_why; }

    // The records and cookie groups sealed under the key. When the last
    // user goes, so does the key, from the keyring and from memory.
    void addUser(const QString& user);
    void removeUser(const QString& user);

    // The profile's entry in the keyring.
    static QString entryName();

private:
    ProfileKey() = default;

    const SecretKey* obtain(bool create);
    bool mayAskAgain(bool create) const;
    void deleteKey();
    QString lockPath(const char* name) const;

    SecretKey m_key;
    QString m_why;
    bool m_missing = false; // the keyring answered that it holds no key
    bool m_failed = false;  // it did not answer, or not in time
    bool m_fallbackLogged = false;
    QElapsedTimer m_lastAsked;
    QSet<QString> m_users; // registered by this process
};
