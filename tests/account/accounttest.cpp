#include "accounttest.h"

#include "fakecloud.h"

#include <QFile>

namespace accounttest {

const QString kAlice = QStringLiteral("alice@example.com");

PrivateHome::PrivateHome()
{
    qputenv("HOME", QFile::encodeName(m_folder.path()));
}

QString issueToken(FakeCloud& cloud, const QString& service, const QString& email)
{
    return cloud.control("POST", QStringLiteral("/tokens/issue"), {{"service", service}, {"email", email}})
        .value(QStringLiteral("access_token"))
        .toString();
}

void storeToken(const QString& accessToken)
{
    teststate::storeDropboxToken(accessToken);
}

bool hasStoredToken()
{
    return !teststate::storedTokenRecord().isEmpty();
}

QString signIn(FakeCloud& cloud, const QString& email)
{
    const QString token = issueToken(cloud, QStringLiteral("dropbox"), email);
    storeToken(token);
    storeEmail(email);
    storeSignInCookie();
    return token;
}

QByteArray patternBytes(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2166136261u ^ quint32(seed);
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

} // namespace accounttest
