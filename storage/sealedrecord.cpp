#include "sealedrecord.h"

#include "secretkey.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// "QCK" and the form's version; the older record has no mark at all.
const char kMark[] = {'Q', 'C', 'K', '\x02'};
constexpr int kMarkSize = int(sizeof(kMark));
// The largest text sealed: far above any token record or cookie.
constexpr int kMaxPlain = 16 * 1024 * 1024;

unsigned char* bytes(QByteArray& array)
{
    return reinterpret_cast<unsigned char*>(array.data());
}

const unsigned char* bytes(const QByteArray& array)
{
    return reinterpret_cast<const unsigned char*>(array.constData());
}

QByteArray associatedData(const QByteArray& place)
{
    return SealedRecord::mark() + place;
}

} // namespace

QByteArray SealedRecord::mark()
{
    return QByteArray(kMark, kMarkSize);
}

bool SealedRecord::isSealed(const QByteArray& stored)
{
    return stored.startsWith(mark());
}

QByteArray SealedRecord::seal(const SecretKey& key, const QByteArray& place, const QByteArray& plain)
{
    if (!key.isSet() || plain.size() > kMaxPlain)
        return {};
    QByteArray out = mark();
    out.resize(kMarkSize + kNonceSize + plain.size() + kTagSize);
    unsigned char* nonce = bytes(out) + kMarkSize;
    unsigned char* cipher = nonce + kNonceSize;
    const QByteArray aad = associatedData(place);
    CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int written = 0;
    int finalWritten = 0;
    const bool done = context && RAND_bytes(nonce, kNonceSize) == 1
        && EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1
        && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1
        && EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.data(), nonce) == 1
        && EVP_EncryptUpdate(context.get(), nullptr, &written, bytes(aad), aad.size()) == 1
        && EVP_EncryptUpdate(context.get(), cipher, &written, bytes(plain), plain.size()) == 1
        && EVP_EncryptFinal_ex(context.get(), cipher + written, &finalWritten) == 1
        && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, cipher + plain.size()) == 1;
    if (!done) {
        ERR_clear_error();
        return {};
    }
    return out;
}

bool SealedRecord::open(const SecretKey& key, const QByteArray& place, const QByteArray& stored, QByteArray& plain)
{
    const int textSize = stored.size() - kMarkSize - kNonceSize - kTagSize;
    if (!key.isSet() || !isSealed(stored) || textSize < 0)
        return false;
    const unsigned char* nonce = bytes(stored) + kMarkSize;
    const unsigned char* cipher = nonce + kNonceSize;
    QByteArray tag = stored.right(kTagSize);
    const QByteArray aad = associatedData(place);
    QByteArray out(textSize, '\0');
    CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int written = 0;
    int finalWritten = 0;
    const bool done = context
        && EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1
        && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1
        && EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key.data(), nonce) == 1
        && EVP_DecryptUpdate(context.get(), nullptr, &written, bytes(aad), aad.size()) == 1
        && EVP_DecryptUpdate(context.get(), bytes(out), &written, cipher, textSize) == 1
        && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) == 1
        && EVP_DecryptFinal_ex(context.get(), bytes(out) + written, &finalWritten) == 1;
    if (!done) {
        // Nothing of a record that fails authentication is handed out.
        OPENSSL_cleanse(out.data(), std::size_t(out.size()));
        ERR_clear_error();
        return false;
    }
    plain = out;
    return true;
}
