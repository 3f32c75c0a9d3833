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
    explicit FilePicker(QObject* parent);

    void setAppKey(const QString& appKey);
    void setSupportedExtensions(const QStringList& extensions);
    QVariantMap data() const { return {}; }

    Q_INVOKABLE void onFileSelected(const QVariantList& files);
    Q_INVOKABLE void chooserClosed();
    Q_INVOKABLE QString appKey() const;
    Q_INVOKABLE QStringList supportedExtensions() const;

signals:
    void openSelectedFiles(const QVariantList& files);
    void closed();

private:
    QString m_appKey;
    QStringList m_supportedExtensions;
};
