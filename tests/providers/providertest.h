#pragma once

#include "storedstate.h"

#include <QJsonObject>
#include <QString>

class FakeCloud;

// What the provider tests share: the stored state, log and record helpers
// of every account test, and the stand-in's users.
namespace providertest {

using teststate::body;
using teststate::clearStoredState;
using teststate::hasSignInCookie;
using teststate::header;
using teststate::kApplication;
using teststate::logCount;
using teststate::logHasLineStartingWith;
using teststate::logInOrder;
using teststate::logMessages;
using teststate::openLog;
using teststate::prepareProcess;
using teststate::requests;
using teststate::signInDirectly;
using teststate::storedEmail;
using teststate::storedTokenRecord;
using teststate::storeEmail;

// The stand-in's user record.
QJsonObject dropboxUser(FakeCloud& cloud, const QString& email);

} // namespace providertest
