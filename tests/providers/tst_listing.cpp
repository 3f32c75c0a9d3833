// An account's files through the services' APIs, against the stand-in:
// folders and searches page by page, only as far as asked, a cursor the
// service forgot, 429s and 5xx, slow and endless answers, cancellation, a
// refused token; the entries a choice hands over; downloads that go to
// their file with memory flat and continue a cut with a byte range.
#include "apicall.h"
#include "apiroad.h"
#include "cloudjob.h"
#include "drivefiles.h"
#include "dropboxfiles.h"
#include "entrylookup.h"
#include "fakecloud.h"
#include "filedownload.h"
#include "choicejob.h"
#include "pagedlisting.h"
#include "teststate.h"
#include "tokensource.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

using namespace teststate;

namespace {

// The stand-in's tokens, a new one for each renewal.
class TestTokens : public TokenSource
{
public:
    TestTokens(FakeCloud& cloud, const char* service) : m_cloud(cloud), m_service(service) { issue(); }
    void authorize(const QByteArray& refused, QObject*, Answer then) override
    {
        if (!refused.isEmpty()) {
            ++renewals;
            issue();
        }
        then("Bearer " + m_token, CloudError());
    }
    void issue()
    {
        m_token = m_cloud.control("POST", "/tokens/issue", {{"service", m_service}, {"lifetime", 0}})["access_token"]
                      .toString()
                      .toUtf8();
    }
    int renewals = 0;

private:
    FakeCloud& m_cloud;
    const char* m_service;
    QByteArray m_token;
};

// The requests the stand-in received whose paths start so (Drive's files.list:
// that path exactly), answered.
QJsonArray requestsUnder(FakeCloud& cloud, const QString& prefix)
{
    QJsonArray found;
    for (const QJsonValue& request : requests(cloud, QString(), QString())) {
        const QString path = request["path"].toString();
        if (prefix == "/drive/v3/files" ? path == prefix : path.startsWith(prefix))
            found.append(request);
    }
    return found;
}

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/statm"));
    status.open(QIODevice::ReadOnly);
    return status.readAll().split(' ').value(1).toLongLong() * 4096;
}

} // namespace

class ListingTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void listings_data();
    void listings();
    void choices_data();
    void choices();
    void downloads_data();
    void downloads();

private:
    CloudFiles& files(bool drive);
    CloudEntry folder(bool drive, const QString& path);
    // Runs a job to its end; every page asked for as soon as one arrives.
    bool run(CloudJob* job, int timeoutMs = 20000);

    FakeCloud m_cloud;
    std::unique_ptr<TestTokens> m_tokens[2];
    std::unique_ptr<CloudFiles> m_files[2];
    QTemporaryDir m_folder;
};

void ListingTest::initTestCase()
{
    QVERIFY(m_cloud.start());
    qRegisterMetaType<CloudEntries>();
    qRegisterMetaType<CloudError>();
}

void ListingTest::init()
{
    m_cloud.reset();
    for (bool drive : {false, true}) {
        m_tokens[drive] = std::make_unique<TestTokens>(m_cloud, drive ? "google" : "dropbox");
        m_files[drive].reset();
        if (drive)
            m_files[drive] = std::make_unique<DriveFiles>(*m_tokens[drive]);
        else
            m_files[drive] = std::make_unique<DropboxFiles>(*m_tokens[drive]);
        m_files[drive]->road().setLimits(1500, 50);
    }
}

CloudFiles& ListingTest::files(bool drive)
{
    return *m_files[drive];
}

CloudEntry ListingTest::folder(bool drive, const QString& path)
{
    std::unique_ptr<EntryLookup> lookup(files(drive).lookup(path, nullptr));
    run(lookup.get());
    return lookup->entry();
}

bool ListingTest::run(CloudJob* job, int timeoutMs)
{
    if (auto* listing = qobject_cast<ListingJob*>(job))
        connect(listing, &ListingJob::pageArrived, listing, &ListingJob::fetchMore, Qt::QueuedConnection);
    job->start();
    return waitFor([job] { return job->hasEnded(); }, timeoutMs);
}

void ListingTest::listings_data()
{
    QTest::addColumn<bool>("drive");
    QTest::addColumn<QString>("search");  // empty: the folder "/Many"
    QTest::addColumn<int>("files");       // generated in it, besides the stand-in's own
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("between"); // what happens after the first page
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("calls");       // page requests on the wire
    QTest::addColumn<QString>("why");     // the failure, when it fails
    for (bool drive : {false, true}) {
        const QString name = drive ? "Drive, " : "Dropbox, ";
        const QString path = drive ? "/drive/v3/files" : "/2/files/list_folder*";
        QTest::newRow(qPrintable(name + "2,500 in pages of 1,000")) << drive << "" << 2500 << QJsonObject() << "" << 2500
                                                                     << 3 << "";
        QTest::newRow(qPrintable(name + "an empty folder")) << drive << "" << 0 << QJsonObject() << "" << 0 << 1 << "";
        QTest::newRow(qPrintable(name + "search by words, any case"))
            << drive << "BUCK big" << 0 << QJsonObject() << "" << 1 << 1 << "";
        QTest::newRow(qPrintable(name + "the cursor forgotten after the first page"))
            << drive << "" << 2500 << QJsonObject() << "reset cursors" << 2500 << 5 << "";
        QTest::newRow(qPrintable(name + "429 with Retry-After"))
            << drive << "" << 10 << QJsonObject{{"path", path}, {"kind", "rate_limit"}, {"retry_after", 0}, {"times", 2}}
            << "" << 10 << 3 << "";
        QTest::newRow(qPrintable(name + "503, then the page"))
            << drive << "" << 10 << QJsonObject{{"path", path}, {"kind", "status"}, {"status", 503}, {"times", 1}} << ""
            << 10 << 2 << "";
        QTest::newRow(qPrintable(name + "503 for good"))
            << drive << "" << 10 << QJsonObject{{"path", path}, {"kind", "status"}, {"status", 503}} << "" << 0 << 5
            << "the service failed";
        QTest::newRow(qPrintable(name + "a slow page"))
            << drive << "" << 10 << QJsonObject{{"path", path}, {"kind", "delay"}, {"seconds", 1}, {"times", 1}} << ""
            << 10 << 1 << "";
        QTest::newRow(qPrintable(name + "a page that stalls"))
            << drive << "" << 10 << QJsonObject{{"path", path}, {"kind", "stall"}, {"times", 1}} << "" << 10 << 2 << "";
        QTest::newRow(qPrintable(name + "an answer without end"))
            << drive << "" << 10 << QJsonObject{{"path", path}, {"kind", "endless"}} << "" << 0 << 1
            << "the service's answer was too large";
        QTest::newRow(qPrintable(name + "the token refused once"))
            << drive << "" << 10 << QJsonObject{{"path", path}, {"kind", "expired"}, {"times", 1}} << "" << 10 << 2 << "";
        QTest::newRow(qPrintable(name + "canceled while the second page is on its way"))
            << drive << "" << 2500 << QJsonObject{{"path", path}, {"kind", "delay"}, {"seconds", 2}, {"skip", 1}}
            << "cancel" << 1000 << 2 << "";
    }
}

void ListingTest::listings()
{
    QFETCH(bool, drive);
    QFETCH(QString, search);
    QFETCH(int, files);
    QFETCH(QJsonObject, fault);
    QFETCH(QString, between);
    QFETCH(int, entries);
    QFETCH(int, calls);
    QFETCH(QString, why);
    const char* service = drive ? "google" : "dropbox";
    if (files > 0)
        m_cloud.control("POST", "/files/generate", {{"service", service}, {"folder", drive ? "Many" : "/Many"},
                                                    {"count", files}, {"ext", ".mkv"}});
    else if (search.isEmpty())
        m_cloud.control("POST", "/files", {{"service", service}, {"path", "/Many"}, {"name", "Many"},
                                           {"parent", "root"}, {"folder", true}});
    const CloudEntry many = search.isEmpty() ? folder(drive, "/Many") : CloudEntry();
    QVERIFY(search.isEmpty() == many.folder);
    const QString listPath = drive ? "/drive/v3/files" : search.isEmpty() ? "/2/files/list_folder" : "/2/files/search";
    const int before = requestsUnder(m_cloud, listPath).size();
    if (!fault.isEmpty())
        m_cloud.addFault(fault);

    std::unique_ptr<PagedListing> listing(search.isEmpty() ? this->files(drive).list(many, nullptr)
                                                             : this->files(drive).search(search, nullptr));
    QSignalSpy pages(listing.get(), &ListingJob::pageArrived);
    QSignalSpy ended(listing.get(), &CloudJob::ended);
    listing->start();
    QVERIFY(waitFor([&] { return pages.size() == 1 || listing->hasEnded(); }));
    // Nothing more is asked for until somebody looks further.
    QTest::qWait(200);
    QCOMPARE(requestsUnder(m_cloud, listPath).size() - before, qMin(calls, listing->hasEnded() ? calls : 1));
    if (between == "reset cursors")
        m_cloud.control("POST", "/cursors/reset");
    listing->fetchMore();
    if (between == "cancel") {
        QVERIFY(listing->isBusy());
        // Once the stand-in holds the request, not before.
        QVERIFY(waitFor([&] {
            int seen = 0;
            for (const QJsonValue& request : m_cloud.requests())
                seen += request["path"].toString().startsWith(listPath) && request["method"] != "CONNECT";
            return seen - before == 2;
        }));
        listing->cancel();
        QTest::qWait(100);
    } else {
        QVERIFY(run(listing.get()));
    }
    QCOMPARE(ended.size(), 1);
    QSet<QString> ids;
    for (const QList<QVariant>& page : pages) {
        for (const CloudEntry& entry : page.at(0).value<CloudEntries>())
            ids.insert(entry.id);
    }
    int shown = 0;
    for (const QList<QVariant>& page : pages)
        shown += page.at(0).value<CloudEntries>().size();
    QCOMPARE(shown, ids.size()); // none twice, a restart included
    QCOMPARE(ids.size(), entries);
    QCOMPARE(requestsUnder(m_cloud, listPath).size() - before, calls);
    QCOMPARE(listing->ending(), between == "cancel" ? CloudJob::Canceled : why.isEmpty() ? CloudJob::Done : CloudJob::Failed);
    QCOMPARE(listing->reason().isEmpty(), why.isEmpty());
    QCOMPARE(listing->reason().left(why.size()), why);
    QCOMPARE(m_tokens[drive]->renewals, fault.value("kind") == "expired" ? 1 : 0);
    if (!search.isEmpty()) // where it is, Drive's included
        QCOMPARE(pages.at(0).at(0).value<CloudEntries>().value(0).path,
                 drive ? QStringLiteral("/Big Buck Bunny.mp4") : QStringLiteral("/Videos/Big Buck Bunny.mp4"));
}

void ListingTest::choices_data()
{
    QTest::addColumn<bool>("drive");
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("Dropbox: the Chooser's keys, a temporary link")
        << false << QStringList{"fileName", "fileSize", "filelink", "thumbnail"};
    QTest::newRow("Drive: the Picker's keys, no token in them")
        << true << QStringList{"fileName", "fileSize", "filelink", "id", "mimeType", "thumbnail", "token"};
}

void ListingTest::choices()
{
    QFETCH(bool, drive);
    QFETCH(QStringList, keys);
    const CloudEntry clip = folder(drive, drive ? "/clip.mkv" : "/Videos/clip.mkv");
    QVERIFY(!clip.id.isEmpty());
    std::unique_ptr<ChoiceJob> choice(files(drive).choose({clip}, nullptr));
    QVERIFY(run(choice.get()));
    QCOMPARE(choice->ending(), CloudJob::Done);
    const QVariantMap entry = choice->entries().value(0).toMap();
    QCOMPARE(entry.keys(), keys);
    QCOMPARE(entry.value("fileName").toString(), QStringLiteral("clip.mkv"));
    QCOMPARE(entry.value("fileSize").toLongLong(), 2097152);
    QCOMPARE(entry.value("token").toString(), QString());
    const QUrl link = entry.value("filelink").toUrl();
    QCOMPARE(link.host(), drive ? QStringLiteral("drive.google.com") : QStringLiteral("dl.dropboxusercontent.com"));
    if (!drive)
        QVERIFY(link.path().startsWith("/apitl/1/")); // a temporary link
}

void ListingTest::downloads_data()
{
    QTest::addColumn<bool>("drive");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("kept");      // bytes already in the local file
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QStringList>("ranges"); // the Range headers sent, in order, as patterns
    QTest::addColumn<int>("renewals");
    for (bool drive : {false, true}) {
        const QString name = drive ? "Drive, " : "Dropbox, ";
        const QString path = drive ? "/drive/v3/files/*" : "/apitl/1/*";
        // A cut loses what the kernel held for us: the range starts where the file stops.
        const QString resumed = "^bytes=[1-9][0-9]{5,6}-$";
        QTest::newRow(qPrintable(name + "whole")) << drive << qint64(3000000) << qint64(0) << QJsonObject()
                                                  << QStringList{"^$"} << 0;
        QTest::newRow(qPrintable(name + "cut in the middle, continued"))
            << drive << qint64(3000000) << qint64(0)
            << QJsonObject{{"path", path}, {"kind", "drop"}, {"where", "response"}, {"after", 1000000}, {"times", 1}}
            << QStringList{"^$", resumed} << 0;
        QTest::newRow(qPrintable(name + "a partial file continued"))
            << drive << qint64(3000000) << qint64(1234567) << QJsonObject() << QStringList{"^bytes=1234567-$"} << 0;
        QTest::newRow(qPrintable(name + "stalled, continued"))
            << drive << qint64(3000000) << qint64(0)
            << QJsonObject{{"path", path}, {"kind", "stall"}, {"after", 2000000}, {"times", 1}}
            << QStringList{"^$", resumed} << 0;
        // 256 MiB with flat memory: the bytes go to the file, not through us.
        QTest::newRow(qPrintable(name + "256 MiB")) << drive << qint64(256) * 1024 * 1024 << qint64(0)
                                                    << QJsonObject() << QStringList{"^$"} << 0;
    }
    QTest::newRow("Dropbox, the link gone, a new one")
        << false << qint64(3000) << qint64(0)
        << QJsonObject{{"path", "/apitl/1/*"}, {"kind", "status"}, {"status", 410}, {"times", 1}}
        << QStringList{"^$", "^$"} << 0;
    QTest::newRow("Drive, the token refused once")
        << true << qint64(3000) << qint64(0) << QJsonObject{{"path", "/drive/v3/files/*"}, {"kind", "expired"}, {"times", 1}}
        << QStringList{"^$", "^$"} << 1;
}

void ListingTest::downloads()
{
    QFETCH(bool, drive);
    QFETCH(qint64, size);
    QFETCH(qint64, kept);
    QFETCH(QJsonObject, fault);
    QFETCH(QStringList, ranges);
    QFETCH(int, renewals);
    const char* service = drive ? "google" : "dropbox";
    m_cloud.control("POST", "/files/generate", {{"service", service}, {"folder", ""}, {"count", 1}, {"size", size},
                                                {"prefix", "movie"}, {"ext", ".mp4"}});
    const CloudEntry movie = folder(drive, "/movie 00001.mp4");
    QCOMPARE(movie.size, size);
    QString stored;
    for (const QJsonValue& file : m_cloud.control("GET", QStringLiteral("/files?service=") + service)["files"].toArray()) {
        if (file["name"].toString() == "movie 00001.mp4")
            stored = file["sha256"].toString();
    }
    const QString local = m_folder.filePath(QTest::currentDataTag());
    QFile::remove(local);
    if (kept > 0) {
        QFile partial(local);
        QVERIFY(partial.open(QIODevice::WriteOnly));
        partial.write((drive ? m_cloud.driveFile(kAlice, "movie 00001.mp4")
                             : m_cloud.dropboxFile(kAlice, "/movie 00001.mp4")).left(int(kept)));
    }
    if (!fault.isEmpty())
        m_cloud.addFault(fault);
    std::unique_ptr<FileDownload> download(files(drive).download(movie, local, nullptr));
    const qint64 resident = residentBytes();
    qint64 peak = resident;
    connect(download.get(), &FileDownload::progressed, this, [&] { peak = qMax(peak, residentBytes()); });
    QVERIFY(run(download.get(), 60000));
    QCOMPARE(download->ending(), CloudJob::Done);
#ifndef __SANITIZE_ADDRESS__
    // Not under AddressSanitizer: its quarantine keeps up to 256 MB of freed
    // blocks resident, which says nothing of the program's own buffers.
    QVERIFY2(peak - resident < 32 * 1024 * 1024, qPrintable(QString::number(peak - resident)));
#endif
    QFile file(local);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), size);
    QCryptographicHash got(QCryptographicHash::Sha256);
    QVERIFY(got.addData(&file));
    QCOMPARE(QString::fromLatin1(got.result().toHex()), stored);
    QStringList sent;
    for (const QJsonValue& request : requestsUnder(m_cloud, drive ? "/drive/v3/files/" + movie.id : "/apitl/1/")) {
        if (!drive || request["query"].toString().contains("alt=media"))
            sent << header(request.toObject(), "Range");
    }
    QCOMPARE(sent.size(), ranges.size());
    for (int i = 0; i < sent.size(); ++i)
        QVERIFY2(QRegularExpression(ranges.at(i)).match(sent.at(i)).hasMatch(), qPrintable(sent.at(i)));
    QCOMPARE(m_tokens[drive]->renewals, renewals);
}

LUMEN_TEST_MAIN(ListingTest)
#include "tst_listing.moc"
