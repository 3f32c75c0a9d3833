#include "providertest.h"

#include "fakecloud.h"

#include <QJsonArray>

namespace providertest {

QJsonObject dropboxUser(FakeCloud& cloud, const QString& email)
{
    const QJsonArray users = cloud.control("GET", QStringLiteral("/users?service=dropbox")).value("users").toArray();
    for (const QJsonValue& user : users) {
        if (user.toObject().value(QStringLiteral("email")).toString() == email)
            return user.toObject();
    }
    return {};
}

} // namespace providertest
