#include "downloadsview.h"

#include "downloader.h"

#include <QHeaderView>
#include <QLocale>
#include <QProgressBar>

namespace {

enum Column { NameColumn, ServiceColumn, SizeColumn, ProgressColumn, SpeedColumn, StateColumn };

QString sizeText(qint64 bytes)
{
    return bytes < 0 ? QStringLiteral("?") : QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

} // namespace

DownloadsView::DownloadsView(Downloader& downloads, QWidget* parent) : QTreeWidget(parent), m_downloads(downloads)
{
    setHeaderLabels({tr("Name"), tr("Service"), tr("Size"), tr("Progress"), tr("Speed"), tr("State")});
    setRootIsDecorated(false);
    // The name takes what the other columns, sized for their longest usual
    // text in whatever font, leave; a long failure is elided, shown whole
    // in its tooltip.
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    const auto fit = [this](Column column, const QString& text) {
        header()->resizeSection(column, fontMetrics().horizontalAdvance(text) + 16);
    };
    fit(ServiceColumn, QStringLiteral("Google Drive"));
    fit(SizeColumn, QStringLiteral("999.9 MB"));
    fit(SpeedColumn, QStringLiteral("999.9 MB/s"));
    fit(StateColumn, tr("downloading"));
    connect(&downloads, &Downloader::added, this, &DownloadsView::addRow);
    connect(&downloads, &Downloader::changed, this, &DownloadsView::update);
    connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        m_downloads.retry(indexOfTopLevelItem(item));
    });
}

void DownloadsView::addRow(int id)
{
    auto* item = new QTreeWidgetItem(this);
    auto* bar = new QProgressBar(this);
    bar->setRange(0, 100);
    setItemWidget(item, ProgressColumn, bar);
    Q_ASSERT(indexOfTopLevelItem(item) == id);
    update(id);
}

void DownloadsView::update(int id)
{
    const Downloader::Download& download = m_downloads.download(id);
    QTreeWidgetItem* row = topLevelItem(id);
    row->setText(NameColumn, download.name);
    row->setText(ServiceColumn, download.service);
    row->setText(SizeColumn, sizeText(download.announced));
    row->setText(SpeedColumn, download.state == Downloader::Failed
                                  ? QString()
                                  : sizeText(qint64(download.bytesPerSecond)) + tr("/s"));
    switch (download.state) {
    case Downloader::Running: row->setText(StateColumn, tr("downloading")); break;
    case Downloader::Done: row->setText(StateColumn, tr("done")); break;
    case Downloader::Failed: row->setText(StateColumn, tr("failed: %1 (activate to retry)").arg(download.why)); break;
    }
    row->setToolTip(StateColumn, row->text(StateColumn));
    auto* bar = static_cast<QProgressBar*>(itemWidget(row, ProgressColumn));
    const qint64 total = download.announced > 0 ? download.announced : 0;
    bar->setValue(download.state == Downloader::Done ? 100 : total ? int(download.received * 100 / total) : 0);
}
