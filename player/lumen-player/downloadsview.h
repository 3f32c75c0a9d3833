#pragma once

#include <QTreeWidget>

class Downloader;

// The player's list of downloads: name, service, size, a progress bar,
// speed and state of each; a failed one is tried again when activated.
class DownloadsView : public QTreeWidget
{
    Q_OBJECT
public:
    DownloadsView(Downloader& downloads, QWidget* parent = nullptr);

private:
    void addRow(int id);
    void update(int id);

    Downloader& m_downloads;
};
