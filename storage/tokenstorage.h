#pragma once

#include "cloudtypes.h"

#include <array>
#include <string>

// Keeps an account's token record between runs: the text is encrypted with
// AES-128-CBC (all-zero vector, PKCS #7 padding) and stored as a binary
// setting named after the cloud kind, in the section the caller names.
// Failures show only in the results; nothing is logged.
class TokenStorage
{
public:
    using Key = std::array<unsigned char, 16>;

    TokenStorage() = default;
    virtual ~TokenStorage() = default;

    // The settings store's result; a failed encryption stores an empty value.
    bool saveToken(const std::string& section, CLOUD_TYPE cloudType, const std::string& token) const;
    // False, leaving token untouched, when nothing is stored; otherwise true
    // with the decrypted text, which is empty when decryption fails.
    bool readToken(const std::string& section, CLOUD_TYPE cloudType, std::string& token) const;
    // True only when a value was stored and the store deleted it.
    bool removeToken(const std::string& section, CLOUD_TYPE cloudType) const;

    std::string settingName(CLOUD_TYPE cloudType) const;
    // Empty on any failure.
    std::string encrypt(const std::string& plainText) const;
    std::string decrypt(const std::string& cipherText) const;
    Key createKey() const;

private:
    std::string transform(const std::string& input, bool encrypting) const;
};
