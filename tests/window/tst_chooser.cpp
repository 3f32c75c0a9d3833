// The native chooser as a person uses it, in the demo player with the
// plug-in's bundle: the keyboard and the mouse through folders, the
// breadcrumbs, the hidden files shown on request, a search, a failure with
// Retry, a slow page, an empty folder, Esc; then two files picked, whose
// entries reach the player's download manager and are downloaded.
#include "demoplayer.h"
#include "downloader.h"
#include "fakecloud.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "playerwindow.h"
#include "teststate.h"

#include <QAction>
#include <QDateTime>
#include <QJsonDocument>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QToolButton>

using namespace teststate;

namespace {

// The chooser as the player sees it: a window of the plug-in's, reached
// through Qt's own widgets.
struct Chooser {
    QPointer<QWidget> window; // it goes when it closes
    QPointer<QTableView> view;

    QStringList names() const
    {
        QStringList shown;
        for (int row = 0; row < view->model()->rowCount(); ++row)
            shown << view->model()->index(row, 0).data().toString();
        return shown;
    }
    QStringList crumbs() const
    {
        QStringList texts;
        for (int depth = 0; auto* crumb = window->findChild<QToolButton*>(QStringLiteral("crumb%1").arg(depth)); ++depth)
            texts << crumb->text();
        return texts;
    }
    QString message() const
    {
        for (QLabel* label : window->findChildren<QLabel*>()) {
            if (label->isVisible() && label->text().endsWith('.'))
                return label->text();
        }
        return QString();
    }
    QPushButton* button(const QString& text) const
    {
        for (QPushButton* button : window->findChildren<QPushButton*>()) {
            if (button->text() == text)
                return button;
        }
        return nullptr;
    }
    bool busy() const { return window->findChild<QProgressBar*>()->isVisible(); }
    void doubleClick(const QString& name) const
    {
        const int row = names().indexOf(name);
        QVERIFY2(row >= 0, qPrintable(name));
        const QPoint cell = view->visualRect(view->model()->index(row, 0)).center();
        // As the window system has it: a press and a release, then the double-click.
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
    }
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) const
    {
        QTest::keyClick(view, key, modifiers);
    }
    // Waits until the names shown are these, in this order.
    bool shows(const QStringList& expected) const
    {
        return waitFor([&] { return names() == expected; }, 10000);
    }
};

Chooser openChooser()
{
    Chooser chooser;
    waitFor(
        [&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->isVisible() && QLatin1String(widget->metaObject()->className()) == "NativeChooser")
                    chooser.window = widget;
            }
            return chooser.window != nullptr;
        },
        10000);
    if (chooser.window)
        chooser.view = chooser.window->findChild<QTableView*>();
    return chooser;
}

} // namespace

class ChooserTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void road_data();
    void road();

private:
    FakeCloud m_cloud;
    QTemporaryDir m_folder;
};

void ChooserTest::initTestCase()
{
    QVERIFY(m_cloud.start());
    QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
}

void ChooserTest::road_data()
{
    QTest::addColumn<bool>("drive");
    QTest::addColumn<QString>("listPath"); // where the service lists folders
    QTest::addColumn<QString>("queued");   // what the first picked file's address starts with
    QTest::newRow("Dropbox") << false << "/2/files/list_folder" << "https://dl.dropboxusercontent.com/apitl/1/";
    QTest::newRow("Google Drive") << true << "/drive/v3/files" << "https://www.googleapis.com/drive/v3/files/";
}

void ChooserTest::road()
{
    QFETCH(bool, drive);
    QFETCH(QString, listPath);
    QFETCH(QString, queued);
    m_cloud.reset();
    clearStoredState();
    signIn(m_cloud, drive ? GDRIVE_CLOUD : DROPBOX_CLOUD);
    if (drive) {
        // Signed in on today's road an hour ago: renewed before the chooser opens.
        QJsonObject record = QJsonDocument::fromJson(storedToken(GDRIVE_CLOUD)).object();
        record["sign_in_road"] = "browser";
        record["expires_in"] = 3599;
        record["received_time"] = double(QDateTime::currentMSecsSinceEpoch()) - 3600e3;
        storeToken(GDRIVE_CLOUD, QJsonDocument(record).toJson());
    }
    const QString service = drive ? "google" : "dropbox";
    const QString name = drive ? "Google Drive" : "Dropbox";
    const struct {
        const char* name;
        int size;
        const char* type;
    } files[] = {{"first.mkv", 200000, "video/x-matroska"}, {"second.mp4", 300000, "video/mp4"}, {"notes.txt", 100, "text/plain"}};
    for (const auto& file : files)
        m_cloud.control("POST", "/files", {{"service", service}, {"path", QString("/Videos/2026/") + file.name},
                                           {"name", file.name}, {"parent", "Videos/2026"}, {"size", file.size},
                                           {"mimeType", file.type}});
    m_cloud.control("POST", "/files", {{"service", service}, {"path", "/Videos/Empty"}, {"name", "Empty"},
                                       {"parent", "Videos"}, {"folder", true}});
    PlayerWindow::storeNativeChooser(true);
    QoviLumen::PingManager::clearRecordedPings();
    DemoPlayer player(LUMEN_PLUGIN_DIR, m_folder.filePath(QTest::currentDataTag()));
    QCOMPARE(player.run(), 0);
    player.window()->show();
    // The top fails once: said in the window, and Retry lists it.
    m_cloud.addFault({{"path", listPath}, {"kind", "status"}, {"status", 400}, {"times", 1}});
    // Then Drive's token refused once: the listing renews it.
    if (drive)
        m_cloud.addFault({{"path", listPath}, {"kind", "expired"}, {"times", 1}});
    player.window()->importAction(drive ? PlayerWindow::kImportFromGoogleDrive : PlayerWindow::kImportFromDropbox)
        ->trigger();
    Chooser chooser = openChooser();
    QVERIFY(chooser.view);
    QPushButton* retry = chooser.button("Retry");
    QVERIFY(waitFor([&] { return retry->isVisible(); }));
    QTest::mouseClick(retry, Qt::LeftButton);
    // Videos only: the stand-in's own files, and folders first.
    const QStringList top = drive ? QStringList{"Videos", "Big Buck Bunny.mp4", "clip.mkv"}
                                  : QStringList{"Documents", "Videos", "holiday.mov"};
    QVERIFY2(chooser.shows(top), qPrintable(chooser.names().join(", ")));
    QCOMPARE(chooser.crumbs(), QStringList{name});
    QCOMPARE(requests(m_cloud, "oauth2.googleapis.com", "/token").size(), drive ? 2 : 0);

    // The keyboard: a name's first letters, then Enter, opens the folder.
    QTest::keyClicks(chooser.view, "Vi");
    chooser.key(Qt::Key_Return);
    const QStringList videos = drive ? QStringList{"2026", "Empty", "holiday.mov"}
                                     : QStringList{"2026", "Empty", "Big Buck Bunny.mp4", "clip.mkv"};
    QVERIFY2(chooser.shows(videos), qPrintable(chooser.names().join(", ")));
    QCOMPARE(chooser.crumbs(), (QStringList{name, "Videos"}));
    // An empty folder says so; Backspace goes up.
    chooser.doubleClick("Empty");
    QVERIFY(waitFor([&] { return chooser.message() == "This folder is empty."; }));
    chooser.key(Qt::Key_Backspace);
    QVERIFY(chooser.shows(videos));
    // A slow page shows that the chooser is busy.
    m_cloud.addFault({{"path", listPath}, {"kind", "delay"}, {"seconds", 1}, {"times", 1}});
    chooser.doubleClick("2026");
    QVERIFY(waitFor([&] { return chooser.busy(); }, 900));
    QVERIFY2(chooser.shows({"first.mkv", "second.mp4"}), qPrintable(chooser.names().join(", ")));
    QVERIFY(!chooser.busy());
    QCOMPARE(chooser.crumbs(), (QStringList{name, "Videos", "2026"}));
    // The other files on request; sorted by size, largest first.
    QTest::mouseClick(chooser.window->findChild<QCheckBox*>(), Qt::LeftButton);
    QVERIFY(chooser.shows({"first.mkv", "notes.txt", "second.mp4"}));
    const QHeaderView* header = chooser.view->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
    QVERIFY2(chooser.shows({"second.mp4", "first.mkv", "notes.txt"}), qPrintable(chooser.names().join(", ")));
    QTest::mouseClick(chooser.window->findChild<QCheckBox*>(), Qt::LeftButton);
    QVERIFY(chooser.shows({"second.mp4", "first.mkv"}));
    // A search, left with Backspace; a breadcrumb goes back to the top.
    QLineEdit* search = chooser.window->findChild<QLineEdit*>();
    QTest::mouseClick(search, Qt::LeftButton);
    QTest::keyClicks(search, "SECOND");
    QTest::keyClick(search, Qt::Key_Return);
    QVERIFY(chooser.shows({"second.mp4"}));
    QCOMPARE(chooser.crumbs().last(), QStringLiteral("Search: SECOND"));
    chooser.key(Qt::Key_Backspace);
    QVERIFY(chooser.shows({"second.mp4", "first.mkv"}));
    QTest::mouseClick(chooser.window->findChild<QToolButton*>("crumb0"), Qt::LeftButton);
    QVERIFY(chooser.shows(top));
    QTest::keyClicks(chooser.view, "V");
    chooser.key(Qt::Key_Return);
    QVERIFY(chooser.shows(videos));
    chooser.doubleClick("2026");
    QVERIFY(chooser.shows({"second.mp4", "first.mkv"})); // still by size

    // Both files at once: everything selected, Enter.
    chooser.key(Qt::Key_A, Qt::ControlModifier);
    chooser.key(Qt::Key_Return);
    Downloader& downloads = player.downloads();
    QVERIFY(waitFor([&] { return downloads.count() == 2; }));
    // Queued as a web chooser's files are: an Import ping each.
    QVERIFY(waitFor([&] { return QoviLumen::PingManager::recordedPings().filter("-Import-").size() == 2; }));
    QVERIFY(waitFor([&] { return chooser.window.isNull() || !chooser.window->isVisible(); }));
    QVERIFY(waitFor([&] {
        return downloads.download(0).state != Downloader::Running && downloads.download(1).state != Downloader::Running;
    }, 20000));
    for (int id = 0; id < 2; ++id) {
        const Downloader::Download& download = downloads.download(id);
        QVERIFY2(download.address.toString().startsWith(queued), qPrintable(download.address.toString()));
        QCOMPARE(download.state, Downloader::Done);
        QCOMPARE(download.name, QStringList({"second.mp4", "first.mkv"}).at(id));
        QCOMPARE(QFileInfo(download.path).size(), qint64(id == 0 ? 300000 : 200000));
    }

    // Opened again, Esc cancels it: nothing more reaches the player.
    player.window()->importAction(drive ? PlayerWindow::kImportFromGoogleDrive : PlayerWindow::kImportFromDropbox)
        ->trigger();
    Chooser again = openChooser();
    QVERIFY(again.view && again.shows(top));
    again.key(Qt::Key_Escape);
    QVERIFY(waitFor([&] { return !again.window->isVisible(); }));
    QTest::qWait(200);
    QCOMPARE(downloads.count(), 2);
    PlayerWindow::storeNativeChooser(false);
}

LUMEN_TEST_MAIN(ChooserTest)
#include "tst_chooser.moc"
