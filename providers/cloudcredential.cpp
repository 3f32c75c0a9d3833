#include "cloudcredential.h"

#include "credentials.h"

#include <array>
#include <cstddef>

namespace {

// The credentials are not kept as plain text in the program: each character
// is stored transformed by its position and restored on every call.
constexpr char transform(char c, std::size_t position)
{
    return char(c ^ char(0x2B + 7 * (position % 13)));
}

template <std::size_t N>
struct ScrambledText {
    std::array<char, N - 1> chars{};

    std::string unscrambled() const
    {
        std::string text(chars.size(), '\0');
        for (std::size_t i = 0; i < chars.size(); ++i)
            text[i] = transform(chars[i], i);
        return text;
    }
};

template <std::size_t N>
constexpr ScrambledText<N> scramble(const char (&text)[N])
{
    ScrambledText<N> scrambled;
    for (std::size_t i = 0; i + 1 < N; ++i)
        scrambled.chars[i] = transform(text[i], i);
    return scrambled;
}

// Unscrambles only the credential asked for.
template <typename AppKey, typename ClientId, typename ClientSecret>
std::string select(const AppKey& appKey, const ClientId& clientId, const ClientSecret& clientSecret,
                   CLOUD_TYPE cloudType, int kind)
{
    if (cloudType == DROPBOX_CLOUD)
        return appKey.unscrambled();
    if (cloudType == GDRIVE_CLOUD && kind == -1)
        return clientId.unscrambled();
    if (cloudType == GDRIVE_CLOUD && kind == 0)
        return clientSecret.unscrambled();
    return std::string();
}

std::string playerCredential(CLOUD_TYPE cloudType, int kind)
{
    static constexpr auto appKey = scramble(LUMEN_PLAYER_DROPBOX_APP_KEY);
    static constexpr auto clientId = scramble(LUMEN_PLAYER_GOOGLE_CLIENT_ID);
    static constexpr auto clientSecret = scramble(LUMEN_PLAYER_GOOGLE_CLIENT_SECRET);
    return select(appKey, clientId, clientSecret, cloudType, kind);
}

std::string converterCredential(CLOUD_TYPE cloudType, int kind)
{
    static constexpr auto appKey = scramble(LUMEN_CONVERTER_DROPBOX_APP_KEY);
    static constexpr auto clientId = scramble(LUMEN_CONVERTER_GOOGLE_CLIENT_ID);
    static constexpr auto clientSecret = scramble(LUMEN_CONVERTER_GOOGLE_CLIENT_SECRET);
    return select(appKey, clientId, clientSecret, cloudType, kind);
}

} // namespace

std::string cloudCredential(const std::string& applicationName, CLOUD_TYPE cloudType, int kind)
{
    if (applicationName == "Player")
        return playerCredential(cloudType, kind);
    if (applicationName == "Converter")
        return converterCredential(cloudType, kind);
    return std::string();
}
