#pragma once

#include <QString>

// One sign-in's proof key (PKCE, S256): a verifier that never leaves the
// program except to the token endpoint, and the challenge the
// authorization address carries.
class Pkce
{
public:
    // A fresh verifier from the system's cryptographic generator.
    static Pkce make();
    // S256: the unpadded base64url text of the verifier's SHA-256.
    static QString challengeOf(const QString& verifier);
    // `bytes` random bytes from the system's cryptographic generator, as
    // unpadded base64url text (43 characters for 32 bytes).
    static QString randomText(int bytes);

    const QString& verifier() const { return m_verifier; }
    const QString& challenge() const { return m_challenge; }

private:
    Pkce(QString verifier, QString challenge);

    QString m_verifier;
    QString m_challenge;
};
