#include "tokenstorage.h"

#include "cloudlog.h"
#include "profilekey.h"
#include "qovisettings.h"
#include "sealedrecord.h"

#include <QCryptographicHash>
#include <QSet>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kBlockSize = 16;

// The key is never held whole in the program: it is derived from this seed.
// Created once; the language guards its first use against concurrent callers.
const std::string& keySeed()
{
    static const std::string seed("Lm#cl0ud~T0k3n$7");
    return seed;
}

unsigned char scramble(char seedChar, std::size_t index)
{
    const unsigned value = (static_cast<unsigned char>(seedChar) ^ (0xA5u + 29u * index)) & 0xFFu;
    return static_cast<unsigned char>(((value << 3) | (value >> 5)) & 0xFFu);
}

bool fetch(const std::string& section, const std::string& name, std::vector<unsigned char>& bytes)
{
    return qvs::FetchBuffer(qvtl::string(section), qvtl::string(name), bytes);
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

bool store(const std::string& section, const std::string& name, const void* data, std::size_t size)
{
    return qvs::StoreBuffer(qvtl::string(section), qvtl::string(name), data, size);
}

// What a sealed record is bound to, and its name among the key's users.
QByteArray place(const std::string& section, const std::string& name)
{
    return "token|" + QByteArray::fromStdString(section) + '|' + QByteArray::fromStdString(name);
}

// One line for each refused record, however often it is read.
void refuse(const std::string& section, const std::string& name, const QByteArray& stored, const QString& why)
{
    static QSet<QByteArray> logged;
    const QByteArray digest = QCryptographicHash::hash(place(section, name) + stored, QCryptographicHash::Sha256);
    if (logged.contains(digest))
        return;
    logged.insert(digest);
    CloudLog::instance()->logLine(LOG_ERR, "Token store: the record \"%s\" of \"%s\" is refused: %s", name.c_str(),
                                  section.c_str(), why.toUtf8().constData());
}

} // namespace

bool TokenStorage::saveToken(const std::string& section, CLOUD_TYPE cloudType, const std::string& token) const
{
    const std::string name = settingName(cloudType);
    ProfileKey& profileKey = ProfileKey::instance();
    if (const SecretKey* key = profileKey.forWriting()) {
        QByteArray plain = QByteArray::fromStdString(token);
        const QByteArray sealed = SealedRecord::seal(*key, place(section, name), plain);
        OPENSSL_cleanse(plain.data(), std::size_t(plain.size()));
        if (sealed.isEmpty())
            return false;
        // Registered first: a user too many only keeps the key longer.
        profileKey.addUser(QString::fromLatin1(place(section, name)));
        return store(section, name, sealed.constData(), std::size_t(sealed.size()));
    }
    const std::string cipherText = encrypt(token);
    return store(section, name, cipherText.data(), cipherText.size());
}

bool TokenStorage::readToken(const std::string& section, CLOUD_TYPE cloudType, std::string& token) const
{
    const std::string name = settingName(cloudType);
    std::vector<unsigned char> bytes;
    if (!fetch(section, name, bytes))
        return false;
    const QByteArray stored(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    if (SealedRecord::isSealed(stored))
        return readSealed(section, name, stored, token);
    token = decrypt(stored.toStdString());
    // An older record goes over to the sealed form at its first reading.
    if (!token.empty() && ProfileKey::instance().forWriting())
        saveToken(section, cloudType, token);
    return true;
}

bool TokenStorage::readSealed(const std::string& section, const std::string& name, const QByteArray& stored,
                              std::string& token) const
{
    token.clear();
    const SecretKey* key = ProfileKey::instance().forReading();
    if (!key) {
        const QString why = ProfileKey::instance().whyNoKey();
        refuse(section, name, stored, QStringLiteral("its key is not to be had (%1)").arg(why));
        return true;
    }
    QByteArray plain;
    if (!SealedRecord::open(*key, place(section, name), stored, plain)) {
        refuse(section, name, stored,
               QStringLiteral("it fails authentication (damaged, or not sealed for this account with this profile's key)"));
        return true;
    }
    token = plain.toStdString();
    OPENSSL_cleanse(plain.data(), std::size_t(plain.size()));
    return true;
}

bool TokenStorage::removeToken(const std::string& section, CLOUD_TYPE cloudType) const
{
    const std::string name = settingName(cloudType);
    std::vector<unsigned char> bytes;
    if (!fetch(section, name, bytes))
        return false;
    if (!qvs::DeleteSetting(qvtl::string(section), qvtl::string(name)))
        return false;
    ProfileKey::instance().removeUser(QString::fromLatin1(place(section, name)));
    return true;
}

TokenStorage::Protection TokenStorage::protection(const std::string& section, CLOUD_TYPE cloudType) const
{
    std::vector<unsigned char> bytes;
    if (fetch(section, settingName(cloudType), bytes)) {
        const QByteArray stored(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
        return SealedRecord::isSealed(stored) ? Protection::Keyring : Protection::ProgramKey;
    }
    return ProfileKey::instance().keyringAnswers() ? Protection::Keyring : Protection::ProgramKey;
}

std::string TokenStorage::settingName(CLOUD_TYPE cloudType) const
{
    switch (cloudType) {
    case DROPBOX_CLOUD:
        return "QoviCloud Dropbox";
    case GDRIVE_CLOUD:
        return "QoviCloud Google Drive";
    }
    return "Unknown Cloud";
}

std::string TokenStorage::encrypt(const std::string& plainText) const
{
    return transform(plainText, true);
}

std::string TokenStorage::decrypt(const std::string& cipherText) const
{
    return transform(cipherText, false);
}

TokenStorage::Key TokenStorage::createKey() const
{
    const std::string& seed = keySeed();
    Key key{};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = scramble(seed[i], i);
    return key;
}

std::string TokenStorage::transform(const std::string& input, bool encrypting) const
{
    if (input.size() > static_cast<std::size_t>(INT_MAX) - kBlockSize)
        return {};
    Key key = createKey();
    const unsigned char zeroVector[kBlockSize] = {};
    CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    std::string output(input.size() + kBlockSize, '\0');
    int written = 0;
    int finalWritten = 0;
    const bool done = context
        && EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key.data(), zeroVector, encrypting ? 1 : 0) == 1
        && EVP_CIPHER_CTX_set_padding(context.get(), 1) == 1
        && EVP_CipherUpdate(context.get(), reinterpret_cast<unsigned char*>(&output[0]), &written,
                            reinterpret_cast<const unsigned char*>(input.data()), static_cast<int>(input.size())) == 1
        && EVP_CipherFinal_ex(context.get(), reinterpret_cast<unsigned char*>(&output[0]) + written, &finalWritten) == 1;
    OPENSSL_cleanse(key.data(), key.size());
    if (!done) {
        // A failure is reported by the empty result; leave no stale errors
        // behind for other OpenSSL users on this thread.
        ERR_clear_error();
        return {};
    }
    output.resize(static_cast<std::size_t>(written + finalWritten));
    return output;
}
