// libFuzzer entry over what the accounts read from outside: the services'
// answers and redirects, the stored token records, settings and cookies,
// and the chooser pages' entries. The first byte picks the reader.
#include "dropbox.h"
#include "filepicker.h"
#include "cookiesmanager.h"
#include "googledrive.h"
#include "testaccount.h"
#include "tokenstorage.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QSettings>
#include <QStandardPaths>

#include <cstdint>
#include <memory>

namespace {

struct World {
    std::unique_ptr<QApplication> app;
    std::unique_ptr<TestAccount<DropBox>> dropbox;
    std::unique_ptr<TestAccount<GoogleDrive>> drive;
    QNetworkReply* reply = nullptr; // a failed answer to describe bodies against
};

World& world()
{
    static World w = [] {
        static int argc = 1;
        static char name[] = "fuzz_decoders";
        static char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QStandardPaths::setTestModeEnabled(true);
        World made;
        made.app = std::make_unique<QApplication>(argc, argv);
        made.dropbox = std::make_unique<TestAccount<DropBox>>();
        made.drive = std::make_unique<TestAccount<GoogleDrive>>();
        made.reply = made.dropbox->manager()->get(QNetworkRequest(QUrl("http://127.0.0.1:1/")));
        made.reply->abort();
        return made;
    }();
    return w;
}

void readStoredState(World& w)
{
    for (CloudBase* account : {static_cast<CloudBase*>(w.dropbox.get()), static_cast<CloudBase*>(w.drive.get())}) {
        account->isConnected(true);
        account->readEmail();
    }
    w.dropbox->accessToken();
    w.dropbox->storedAccountId();
    w.drive->isTokenExpired();
    w.drive->accessToken();
}

void overwriteFiles(const QString& folder, const QByteArray& bytes)
{
    QDirIterator files(folder, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(bytes);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    World& w = world();
    const QByteArray bytes(reinterpret_cast<const char*>(data) + 1, int(size - 1));
    std::string message;
    switch (data[0] % 8) {
    case 0:
        w.dropbox->parseErrorReply(bytes, message);
        w.dropbox->describeError(w.reply, bytes);
        w.drive->parseErrorReply(bytes, message);
        w.drive->describeError(w.reply, bytes);
        break;
    case 1: {
        const QJsonObject json = QJsonDocument::fromJson(bytes).object();
        for (int kind = 0; kind <= 5; ++kind) {
            w.dropbox->usableReply(kind, json);
            w.drive->usableReply(kind, json);
        }
        w.dropbox->parseUsedSpace(json);
        w.dropbox->parseTotalSpace(json);
        w.drive->parseUsedSpace(json);
        w.drive->parseTotalSpace(json);
        w.drive->parseEmail(json);
        break;
    }
    case 2:
        w.dropbox->setMode(-1);
        w.dropbox->authorizationReply(301, "qovi://cloud_callback#" + QString::fromUtf8(bytes));
        w.drive->authorizationReply(1, "http://localhost:30000/?error=" + QString::fromUtf8(bytes));
        break;
    case 3: // a token record as stored
        TokenStorage().saveToken("Player", DROPBOX_CLOUD, bytes.toStdString());
        TokenStorage().saveToken("Player", GDRIVE_CLOUD, bytes.toStdString());
        readStoredState(w);
        break;
    case 4: // the encrypted blob itself
        TokenStorage().decrypt(bytes.toStdString());
        break;
    case 5: // damaged settings files
        TokenStorage().saveToken("Player", DROPBOX_CLOUD, "{}");
        overwriteFiles(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/QoviSettings", bytes);
        readStoredState(w);
        break;
    case 6: { // damaged stored cookies
        QSettings cookies(QSettings::NativeFormat, QSettings::UserScope, "Qovi\\Settings", "Player");
        cookies.setValue("db/blid", bytes);
        cookies.setValue("gd/HSID", bytes);
        cookies.sync();
        CookiesManager(DropBox::service(), "Player", nullptr).isLoggedIn();
        CookiesManager(GoogleDrive::service(), "Player", nullptr).allJarCookies();
        break;
    }
    case 7: { // what a chooser page hands over
        FilePicker picker(nullptr);
        picker.setDownloadHosts(DropBox::service().downloadHosts);
        picker.onFileSelected(QJsonDocument::fromJson(bytes).array().toVariantList());
        break;
    }
    }
    return 0;
}
