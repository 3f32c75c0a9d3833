#pragma once

#include "cloudtypes.h"

#include <QByteArray>

#include <array>
#include <string>

// Keeps an account's token record between runs, as a binary setting named
// after the cloud kind, in the section the caller names. Records are sealed
// (AES-256-GCM, see SealedRecord) under the profile's key from the desktop's
// keyring: sealing departs from the older record on purpose, for security,
// since anybody with the program can open that one. The older record
// (AES-128-CBC under a key fixed in the program, all-zero vector, PKCS #7
// padding) is still written where no keyring answers; one found where a
// keyring answers is read once and rewritten sealed. A sealed record that fails authentication is
// refused with one log line: it reads as an empty text.
class TokenStorage
{
public:
    using Key = std::array<unsigned char, 16>;
    enum class Protection { Keyring, ProgramKey };

    TokenStorage() = default;
    virtual ~TokenStorage() = default;

    // The settings store's result; a failed encryption stores an empty value.
    bool saveToken(const std::string& section, CLOUD_TYPE cloudType, const std::string& token) const;
    // False, leaving token untouched, when nothing is stored; otherwise true
    // with the decrypted text, which is empty when decryption fails.
    bool readToken(const std::string& section, CLOUD_TYPE cloudType, std::string& token) const;
    // True only when a value was stored and the store deleted it.
    bool removeToken(const std::string& section, CLOUD_TYPE cloudType) const;

    // What protects the account's record, or would protect a new one.
    Protection protection(const std::string& section, CLOUD_TYPE cloudType) const;

    std::string settingName(CLOUD_TYPE cloudType) const;
    // The older record. Empty on any failure.
    std::string encrypt(const std::string& plainText) const;
    std::string decrypt(const std::string& cipherText) const;
    Key createKey() const;

private:
    std::string transform(const std::string& input, bool encrypting) const;
    bool readSealed(const std::string& section, const std::string& name, const QByteArray& stored,
                    std::string& token) const;

};
