#include "entryfilter.h"

#include "entrymodel.h"

EntryFilter::EntryFilter(const QStringList& videoTypes, QObject* parent) : QSortFilterProxyModel(parent)
{
    for (const QString& type : videoTypes) {
        if (type.startsWith(QLatin1Char('.')))
            m_extensions << type.toLower();
        else
            m_mimeTypes << type.toLower();
    }
    // No types given: nothing to tell videos by, so everything shows.
    m_showAll = videoTypes.isEmpty();
    setSortRole(EntryModel::SortRole);
    setDynamicSortFilter(true);
}

void EntryFilter::setShowAll(bool showAll)
{
    m_showAll = showAll || (m_extensions.isEmpty() && m_mimeTypes.isEmpty());
    invalidateFilter();
}

int EntryFilter::hiddenCount() const
{
    return sourceModel() ? sourceModel()->rowCount() - rowCount() : 0;
}

bool EntryFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    const auto* model = static_cast<const EntryModel*>(sourceModel());
    const CloudEntry& entry = model->entry(sourceRow);
    if (entry.folder || m_showAll)
        return true;
    if (m_mimeTypes.contains(entry.mimeType.toLower()))
        return true;
    const QString name = entry.name.toLower();
    for (const QString& extension : m_extensions) {
        if (name.endsWith(extension))
            return true;
    }
    return false;
}

bool EntryFilter::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const auto* model = static_cast<const EntryModel*>(sourceModel());
    const bool leftFolder = model->entry(left.row()).folder;
    const bool rightFolder = model->entry(right.row()).folder;
    if (leftFolder != rightFolder)
        return sortOrder() == Qt::AscendingOrder ? leftFolder : rightFolder;
    const QVariant a = left.data(sortRole());
    const QVariant b = right.data(sortRole());
    if (a.type() == QVariant::String && a.toString() == b.toString())
        return model->entry(left.row()).name < model->entry(right.row()).name;
    return QSortFilterProxyModel::lessThan(left, right);
}
