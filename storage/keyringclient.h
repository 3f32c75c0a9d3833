#pragma once

#include "secretkey.h"

#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>

class QObject;
class QThread;
class QTimer;
struct _GMainContext;

// The profile key's entry in the desktop's secret service (the Secret
// Service API over D-Bus, as GNOME Keyring and KWallet offer it), reached
// through QtKeychain. QtKeychain's jobs answer through an event loop, while
// the token store is called synchronously on the player's UI thread, which
// must never spin a nested loop: so the jobs run on a thread of the client's
// own, with its own loop, and the caller waits for the answer on a
// condition variable, only for a short bound. An answer that comes later
// (a keyring that asked the user to unlock it, say) is kept for the next
// call. One request runs at a time. The Secret Service backend answers on
// a GLib main context, which the thread drives itself while a request runs:
// the host's Qt may use its own event dispatcher rather than GLib's.
class KeyringClient
{
public:
    enum class Request { Read, ReadOrCreate, Remove };
    enum class Answer { Idle, Pending, Key, Missing, Removed, Failed };

    static KeyringClient& instance();
    // Without a session bus the keyring is never asked and nothing waits:
    // D-Bus would otherwise try to autolaunch a bus.
    static bool hasSession();

    // False when a request is still running or no thread can run one.
    // ReadOrCreate holds the profile's lock from the read to the write, so
    // that two processes never create two keys.
    bool start(Request request, const QString& entry, const QString& lockPath);
    // The running request's answer, waiting at most boundMs for it (0: not
    // at all); the key of a Key answer goes into key. An answer is given once.
    Answer take(int boundMs, SecretKey& key, QString& why);

private:
    KeyringClient() = default;
    ~KeyringClient() = default;

    static void stop();
    bool ensureThread();
    void run(Request request, const QString& entry, const QString& lockPath);
    void create(const QString& entry, std::shared_ptr<void> lock);
    void finish(Answer answer, const SecretKey* key, const QString& why);
    void setUpThread();

    std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_running = false;
    Answer m_answer = Answer::Idle;
    SecretKey m_key;
    QString m_why;
    QThread* m_thread = nullptr;
    QObject* m_context = nullptr; // lives on m_thread; the jobs' parent
    QTimer* m_pump = nullptr;     // on m_thread: drives m_glib while a request runs
    _GMainContext* m_glib = nullptr;
};
