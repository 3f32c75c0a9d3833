#include "keyringclient.h"

#include "profilelock.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QThread>
#include <QTimer>

#include <glib.h>

#include <qt5keychain/keychain.h>

#include <openssl/crypto.h>

#include <chrono>
#include <memory>

namespace {

// What the desktop's password manager shows for the entry.
const char* const kService = "Lumen cloud connect";
constexpr int kLockBoundMs = 2000;
constexpr unsigned long kStopBoundMs = 2000;
constexpr int kPumpIntervalMs = 5;

constexpr int kLockedCheckBoundMs = 1000;

QString text(const char* message)
{
    return QString::fromLatin1(message);
}

QVariant secretsCall(const QString& path, const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"), path, interface,
                                                          method);
    message.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, kLockedCheckBoundMs);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0) : QVariant();
}

// A locked keyring answers "no such entry" once the user dismisses its
// prompt: a key made then would replace the one it holds. Asked of the
// Secret Service itself, where there is one.
bool defaultCollectionLocked()
{
    const QVariant alias = secretsCall(QStringLiteral("/org/freedesktop/secrets"),
                                       QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"),
                                       {QStringLiteral("default")});
    const QString path = alias.value<QDBusObjectPath>().path();
    if (path.isEmpty() || path == QLatin1String("/"))
        return false;
    const QVariant locked = secretsCall(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                        {QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("Locked")});
    return locked.value<QDBusVariant>().variant().toBool();
}

} // namespace

KeyringClient& KeyringClient::instance()
{
    static KeyringClient client;
    return client;
}

bool KeyringClient::hasSession()
{
    return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
}

bool KeyringClient::ensureThread()
{
    if (m_thread)
        return true;
    if (!QCoreApplication::instance())
        return false;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("keyring"));
    m_context = new QObject;
    m_context->moveToThread(m_thread);
    QObject::connect(m_thread, &QThread::started, m_context, [this] { setUpThread(); }, Qt::DirectConnection);
    QObject::connect(m_thread, &QThread::finished, m_context, [this] {
        delete m_pump;
        m_pump = nullptr;
        g_main_context_pop_thread_default(m_glib);
        g_main_context_unref(m_glib);
        m_glib = nullptr;
        OPENSSL_thread_stop(); // the thread's random generator, made for a new key
    }, Qt::DirectConnection);
    m_thread->start();
    qAddPostRoutine(&KeyringClient::stop);
    return true;
}

void KeyringClient::setUpThread()
{
    // A context of the thread's own: the backend's callbacks come only
    // where it is iterated.
    m_glib = g_main_context_new();
    g_main_context_push_thread_default(m_glib);
    m_pump = new QTimer;
    m_pump->setInterval(kPumpIntervalMs);
    QObject::connect(m_pump, &QTimer::timeout, m_pump, [this] {
        while (g_main_context_iteration(m_glib, FALSE)) {
        }
    });
}

void KeyringClient::stop()
{
    KeyringClient& client = instance();
    if (!client.m_thread)
        return;
    client.m_thread->quit();
    // A thread still held by a keyring call is left to the system at exit
    // rather than torn down under it.
    if (!client.m_thread->wait(kStopBoundMs))
        return;
    delete client.m_context;
    delete client.m_thread;
    client.m_context = nullptr;
    client.m_thread = nullptr;
}

bool KeyringClient::start(Request request, const QString& entry, const QString& lockPath)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_running || !ensureThread())
            return false;
        m_running = true;
        m_answer = Answer::Pending;
        m_key.wipe();
        m_why.clear();
    }
    QMetaObject::invokeMethod(m_context, [this, request, entry, lockPath] { run(request, entry, lockPath); });
    return true;
}

KeyringClient::Answer KeyringClient::take(int boundMs, SecretKey& key, QString& why)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_answered.wait_for(lock, std::chrono::milliseconds(boundMs), [this] { return !m_running; });
    const Answer answer = m_answer;
    if (answer == Answer::Pending || answer == Answer::Idle)
        return answer;
    if (answer == Answer::Key)
        key.assign(m_key);
    why = m_why;
    m_key.wipe();
    m_answer = Answer::Idle;
    return answer;
}

void KeyringClient::finish(Answer answer, const SecretKey* key, const QString& why)
{
    m_pump->stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (key)
            m_key.assign(*key);
        m_answer = answer;
        m_why = why;
        m_running = false;
    }
    m_answered.notify_all();
}

void KeyringClient::run(Request request, const QString& entry, const QString& lockPath)
{
    m_pump->start();
    if (request == Request::Remove) {
        auto* job = new QKeychain::DeletePasswordJob(QString::fromLatin1(kService), m_context);
        job->setKey(entry);
        QObject::connect(job, &QKeychain::Job::finished, m_context, [this](QKeychain::Job* done) {
            const bool gone = done->error() == QKeychain::NoError || done->error() == QKeychain::EntryNotFound;
            finish(gone ? Answer::Removed : Answer::Failed, nullptr, done->errorString());
        });
        job->start();
        return;
    }
    std::shared_ptr<void> held;
    if (request == Request::ReadOrCreate) {
        auto profileLock = std::make_shared<ProfileLock>(lockPath, kLockBoundMs);
        if (!profileLock->isHeld()) {
            finish(Answer::Failed, nullptr, text("another process kept the profile locked"));
            return;
        }
        held = profileLock;
    }
    auto* job = new QKeychain::ReadPasswordJob(QString::fromLatin1(kService), m_context);
    job->setKey(entry);
    QObject::connect(job, &QKeychain::Job::finished, m_context,
                     [this, request, entry, held](QKeychain::Job* done) mutable {
        if (done->error() == QKeychain::EntryNotFound && defaultCollectionLocked()) {
            finish(Answer::Failed, nullptr, text("it is locked"));
        } else if (done->error() == QKeychain::EntryNotFound && request == Request::ReadOrCreate) {
            create(entry, held);
        } else if (done->error() == QKeychain::EntryNotFound) {
            finish(Answer::Missing, nullptr, text("the desktop keyring holds no key for this profile"));
        } else if (done->error() != QKeychain::NoError) {
            finish(Answer::Failed, nullptr, done->errorString());
        } else {
            QByteArray bytes = static_cast<QKeychain::ReadPasswordJob*>(done)->binaryData();
            SecretKey key;
            if (key.assign(bytes))
                finish(Answer::Key, &key, QString());
            else
                finish(Answer::Failed, nullptr, text("the keyring's entry for this profile is no key"));
            OPENSSL_cleanse(bytes.data(), std::size_t(bytes.size()));
        }
        held.reset();
    });
    job->start();
}

void KeyringClient::create(const QString& entry, std::shared_ptr<void> lock)
{
    auto key = std::make_shared<SecretKey>();
    if (!key->generate()) {
        finish(Answer::Failed, nullptr, text("no random key could be made"));
        return;
    }
    QByteArray bytes(reinterpret_cast<const char*>(key->data()), int(SecretKey::kSize));
    auto* job = new QKeychain::WritePasswordJob(QString::fromLatin1(kService), m_context);
    job->setKey(entry);
    job->setBinaryData(bytes);
    OPENSSL_cleanse(bytes.data(), std::size_t(bytes.size()));
    QObject::connect(job, &QKeychain::Job::finished, m_context, [this, key, lock](QKeychain::Job* done) mutable {
        if (done->error() == QKeychain::NoError)
            finish(Answer::Key, key.get(), QString());
        else
            finish(Answer::Failed, nullptr, done->errorString());
        lock.reset();
    });
    job->start();
}
