// The chooser bridge as a page's script sees it, in the real web engine.
#include "filepicker.h"

#include <QSignalSpy>
#include <QTest>
#include <QWebFrame>
#include <QWebPage>

class FilePickerTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void valuesReachThePage();
    void selectionArrivesAsEntries();
    void closeFromThePage();

private:
    QVariant run(const QString& script) { return m_page->mainFrame()->evaluateJavaScript(script); }

    FilePicker* m_picker = nullptr;
    QWebPage* m_page = nullptr;
};

void FilePickerTest::init()
{
    m_picker = new FilePicker(this);
    m_picker->setAppKey(QStringLiteral("key-123"));
    m_picker->setSupportedExtensions({".qovi", ".mkv"});
    m_page = new QWebPage(this);
    m_page->mainFrame()->addToJavaScriptWindowObject(QStringLiteral("qoviFilePicker"), m_picker,
                                                      QWebFrame::QtOwnership);
}

void FilePickerTest::cleanup()
{
    delete m_page;
    delete m_picker;
}

void FilePickerTest::valuesReachThePage()
{
    QCOMPARE(run("qoviFilePicker.appKey()").toString(), QStringLiteral("key-123"));
    QCOMPARE(run("qoviFilePicker.supportedExtensions().join('|')").toString(), QStringLiteral(".qovi|.mkv"));
    QCOMPARE(run("JSON.stringify(qoviFilePicker.data)").toString(), QStringLiteral("{}"));
    QCOMPARE(run("qoviFilePicker.data = {a: 1}; JSON.stringify(qoviFilePicker.data)").toString(), QStringLiteral("{}"));
}

void FilePickerTest::selectionArrivesAsEntries()
{
    QSignalSpy selected(m_picker, &FilePicker::openSelectedFiles);
    QSignalSpy closed(m_picker, &FilePicker::closed);
    run("qoviFilePicker.onFileSelected([{filelink: 'https://dl.example/a.mkv', fileSize: 4294967296, "
        "fileName: 'a.mkv', thumbnail: undefined}, {fileName: 'b'}])");
    QCOMPARE(selected.count(), 1);
    QCOMPARE(closed.count(), 0);
    const QVariantList files = selected.first().first().toList();
    QCOMPARE(files.size(), 2);
    const QVariantMap first = files.first().toMap();
    QCOMPARE(first.value("filelink").toString(), QStringLiteral("https://dl.example/a.mkv"));
    QCOMPARE(first.value("fileSize").type(), QVariant::Double);
    QCOMPARE(first.value("fileSize").toULongLong(), 4294967296ULL);
    QVERIFY(!first.value("thumbnail").isValid() || first.value("thumbnail").isNull());
    QCOMPARE(files.last().toMap().keys(), QStringList{"fileName"});
}

void FilePickerTest::closeFromThePage()
{
    QSignalSpy selected(m_picker, &FilePicker::openSelectedFiles);
    QSignalSpy closed(m_picker, &FilePicker::closed);
    run("qoviFilePicker.chooserClosed()");
    QCOMPARE(closed.count(), 1);
    QCOMPARE(selected.count(), 0);
}

QTEST_MAIN(FilePickerTest)
#include "tst_filepicker.moc"
