#pragma once

#include "cloudtypes.h"

#include <QJsonObject>
#include <QString>

#include <optional>
#include <string>

class TokenStorage;

// An account's token record: the JSON text the token store keeps under
// the account's section and cloud kind. A record the store refused to keep
// is held in memory instead, so that a token the service just issued is
// used rather than the stale one on disk.
class TokenRecord
{
public:
    TokenRecord(const TokenStorage& storage, const std::string& section, CLOUD_TYPE kind);

    // False when nothing is stored (text untouched); the stored text otherwise.
    bool read(std::string& text) const;
    // The text, or the empty string when nothing is stored.
    std::string text() const;
    // The record as a JSON object; empty when it is none.
    QJsonObject object() const;
    // A member of the record as text; empty when absent or not a string.
    QString value(const QString& key) const;
    // The record's access token; a text that is not a JSON object is one whole.
    QString accessToken() const;

    // The store's result. When the store refuses, the record is kept in
    // memory (until it is saved or removed) and false is answered.
    bool save(const QByteArray& text);
    bool remove();
    // Whether the last record could not be written to the store.
    bool unsaved() const { return m_unsaved.has_value(); }

    // Sets "received_time" (milliseconds since the epoch) in a non-empty record.
    static void stampReceivedTime(QJsonObject& record);
    // Whether a record was made by a sign-in in the user's browser (it then
    // holds a refresh token, the token's lifetime and its time of receipt).
    static bool madeInBrowser(const QJsonObject& record);
    static void markMadeInBrowser(QJsonObject& record);

private:
    const TokenStorage& m_storage;
    const std::string m_section;
    const CLOUD_TYPE m_kind;
    std::optional<std::string> m_unsaved;
};
