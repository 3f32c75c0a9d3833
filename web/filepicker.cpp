#include "filepicker.h"

FilePicker::FilePicker(QObject* parent) : QObject(parent) {}

void FilePicker::setAppKey(const QString& appKey)
{
    m_appKey = appKey;
}

void FilePicker::setSupportedExtensions(const QStringList& extensions)
{
    m_supportedExtensions = extensions;
}

void FilePicker::onFileSelected(const QVariantList& files)
{
    emit openSelectedFiles(files);
}

void FilePicker::chooserClosed()
{
    emit closed();
}

QString FilePicker::appKey() const
{
    return m_appKey;
}

QStringList FilePicker::supportedExtensions() const
{
    return m_supportedExtensions;
}
