#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>

// The local stand-in of Dropbox and Google Drive, run for one test
// executable. start() points the whole process at it the way a host does:
// the application proxy on its port and its test authority trusted.
class FakeCloud
{
public:
    static const char* const kDropboxUser;   // a user the stand-in knows from the start
    static const char* const kDropboxPassword;

    // The services' rules the stand-in follows: those the plug-in was first
    // written against, or today's (PKCE, loopback redirects, short-lived tokens).
    enum class Rules { Classic, Live };

    FakeCloud() = default;
    ~FakeCloud();
    FakeCloud(const FakeCloud&) = delete;
    FakeCloud& operator=(const FakeCloud&) = delete;

    bool start(bool autoMode = true, Rules rules = Rules::Classic);
    void stop();
    quint16 port() const { return m_port; }

    // A control call, straight to the stand-in's port (never proxied).
    QJsonObject control(const QByteArray& method, const QString& path, const QJsonObject& body = {},
                        int* status = nullptr);
    void reset();
    // Every request the stand-in received since the last reset, optionally
    // only those for one host and path.
    QJsonArray requests(const QString& host = QString(), const QString& path = QString());
    // Adds a fault; answers its id.
    int addFault(const QJsonObject& fault);
    // The certificates presented to new tunnels: "normal", "expired",
    // "wrong_host", "untrusted", "self_signed", "unknown_root".
    void setTls(const QString& mode);
    // The stored bytes of a file: a Dropbox path, or a Google Drive name.
    QByteArray dropboxFile(const QString& email, const QString& path, int* status = nullptr);
    QByteArray driveFile(const QString& email, const QString& name, int* status = nullptr);

private:
    QByteArray fileContent(const QString& service, const QString& email, const QString& key, const QString& value, int* status);

    QProcess m_process;
    quint16 m_port = 0;
};
