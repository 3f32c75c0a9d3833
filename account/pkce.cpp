#include "pkce.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QRandomGenerator>

namespace {

QString base64Url(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

Pkce::Pkce(QString verifier, QString challenge) : m_verifier(std::move(verifier)), m_challenge(std::move(challenge)) {}

Pkce Pkce::make()
{
    // 48 bytes: 64 characters, inside the 43 to 128 the standard allows.
    QString verifier = randomText(48);
    QString challenge = challengeOf(verifier);
    return Pkce(std::move(verifier), std::move(challenge));
}

QString Pkce::challengeOf(const QString& verifier)
{
    return base64Url(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256));
}

QString Pkce::randomText(int bytes)
{
    QByteArray random(bytes, Qt::Uninitialized);
    // QRandomGenerator::system() reads the operating system's CSPRNG.
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(random.data()), bytes / int(sizeof(quint32)));
    for (int i = bytes - bytes % int(sizeof(quint32)); i < bytes; ++i)
        random[i] = char(QRandomGenerator::system()->generate());
    return base64Url(random);
}
