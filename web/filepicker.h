#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// What a chooser page sees of the plug-in, as the script object
// "qoviFilePicker": the key and file types it asks the service's chooser for,
// and the calls through which it reports the user's choice.
class FilePicker : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantMap data READ data CONSTANT)
public:
    // More files than a person picks in one go: the rest of a longer list
    // is dropped rather than queued.
    static constexpr int kMaxChosenFiles = 100;
    // Longer than any address, name or token a service hands over, and more
    // fields than an entry has: past these, an entry is not a chooser's answer.
    static constexpr int kMaxFieldLength = 4096;
    static constexpr int kMaxEntryFields = 16;

    explicit FilePicker(QObject* parent);

    void setAppKey(const QString& appKey);
    void setSupportedExtensions(const QStringList& extensions);
    // The hosts whose https addresses a chooser may hand over.
    void setDownloadHosts(const QStringList& hosts);
    QVariantMap data() const { return {}; }

    Q_INVOKABLE void onFileSelected(const QVariantList& files);
    Q_INVOKABLE void chooserClosed();
    Q_INVOKABLE QString appKey() const;
    Q_INVOKABLE QStringList supportedExtensions() const;

    // Whether a chosen-file entry may reach the player: a map of a few plain
    // fields of bounded length, whose "filelink" is https on one of the
    // download hosts, and whose "id", if any, is a plain file identifier.
    bool acceptable(const QVariant& entry) const;

signals:
    void openSelectedFiles(const QVariantList& files);
    void closed();

private:
    QString m_appKey;
    QStringList m_supportedExtensions;
    QStringList m_downloadHosts;
};
