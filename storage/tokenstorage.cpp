#include "tokenstorage.h"

#include "qovisettings.h"

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

} // namespace

bool TokenStorage::saveToken(const std::string& section, CLOUD_TYPE cloudType, const std::string& token) const
{
    const std::string cipherText = encrypt(token);
    return qvs::StoreBuffer(qvtl::string(section), qvtl::string(settingName(cloudType)), cipherText.data(),
                            cipherText.size());
}

bool TokenStorage::readToken(const std::string& section, CLOUD_TYPE cloudType, std::string& token) const
{
    std::vector<unsigned char> bytes;
    if (!fetch(section, settingName(cloudType), bytes))
        return false;
    token = decrypt(std::string(bytes.cbegin(), bytes.cend()));
    return true;
}

bool TokenStorage::removeToken(const std::string& section, CLOUD_TYPE cloudType) const
{
    const std::string name = settingName(cloudType);
    std::vector<unsigned char> bytes;
    if (!fetch(section, name, bytes))
        return false;
    return qvs::DeleteSetting(qvtl::string(section), qvtl::string(name));
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
