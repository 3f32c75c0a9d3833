#pragma once

#include "tokenrecord.h"
#include "tokensource.h"
#include "tokenstorage.h"

#include <QNetworkAccessManager>
#include <QObject>

#include <memory>
#include <string>

class OAuthClient;
class RequestEngine;
class TokenRefresh;

// An account's tokens as its store keeps them, for a process that works on
// the account's files without the account itself (qovi-cloud's file
// commands, which then need no web engine): the stored access token,
// renewed as the account renews it (TokenRefresh, with the stored refresh
// token) when it is due or refused, and stored again for the player.
class StoredTokens : public QObject, public TokenSource
{
    Q_OBJECT
public:
    StoredTokens(std::string section, CLOUD_TYPE kind, QObject* parent = nullptr);
    ~StoredTokens() override;

    // The setting of the account's e-mail address (the accounts keep it there).
    static const char* emailKey(CLOUD_TYPE kind);
    // Signed in: an e-mail address and a token record are kept.
    bool connected() const;

    void authorize(const QByteArray& refused, QObject* context, Answer then) override;

private:
    QString email() const;
    QByteArray header() const;
    bool expired() const;

    const std::string m_section;
    const CLOUD_TYPE m_kind;
    TokenStorage m_storage;
    TokenRecord m_record;
    QNetworkAccessManager m_manager;
    RequestEngine* m_engine;
    std::unique_ptr<OAuthClient> m_client;
    TokenRefresh* m_refresh;
};
