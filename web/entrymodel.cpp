#include "entrymodel.h"

#include "listingjob.h"

#include <QApplication>
#include <QLocale>
#include <QStyle>

EntryModel::EntryModel(QObject* parent) : QAbstractTableModel(parent) {}

void EntryModel::setListing(ListingJob* listing)
{
    if (m_listing)
        m_listing->disconnect(this);
    beginResetModel();
    m_entries.clear();
    m_listing = listing;
    endResetModel();
    if (listing)
        connect(listing, &ListingJob::pageArrived, this, &EntryModel::append);
}

void EntryModel::append(const CloudEntries& entries)
{
    if (entries.isEmpty())
        return;
    beginInsertRows(QModelIndex(), m_entries.size(), m_entries.size() + entries.size() - 1);
    m_entries += entries;
    endInsertRows();
}

int EntryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_entries.size();
}

int EntryModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

bool EntryModel::isPlayable(const CloudEntry& entry)
{
    // Google's own documents have a type of their own and no bytes.
    return !entry.folder && !entry.mimeType.startsWith(QLatin1String("application/vnd.google-apps."));
}

QVariant EntryModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return QVariant();
    const CloudEntry& entry = m_entries.at(index.row());
    const int column = index.column();
    switch (role) {
    case EntryRole: return QVariant::fromValue(entry);
    case Qt::DisplayRole:
        if (column == NameColumn)
            return entry.name;
        if (column == SizeColumn)
            return entry.size >= 0 ? CloudEntry::readableSize(quint64(entry.size)) : QString();
        return entry.modified.isValid()
            ? QLocale().toString(entry.modified.toLocalTime(), QStringLiteral("yyyy-MM-dd hh:mm"))
            : QString();
    case SortRole:
        if (column == NameColumn)
            return entry.name.toLower();
        if (column == SizeColumn)
            return entry.size;
        return entry.modified;
    case Qt::ToolTipRole: return entry.path.isEmpty() ? entry.name : entry.path;
    case Qt::TextAlignmentRole:
        return column == SizeColumn ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    case Qt::DecorationRole:
        if (column != NameColumn)
            return QVariant();
        return QApplication::style()->standardIcon(entry.folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    default: return QVariant();
    }
}

QVariant EntryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case NameColumn: return tr("Name");
    case SizeColumn: return tr("Size");
    case ModifiedColumn: return tr("Modified");
    default: return QVariant();
    }
}

Qt::ItemFlags EntryModel::flags(const QModelIndex& index) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return Qt::NoItemFlags;
    const CloudEntry& entry = m_entries.at(index.row());
    if (!entry.folder && !isPlayable(entry))
        return Qt::NoItemFlags; // shown, never picked
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool EntryModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && m_listing && m_listing->canFetchMore();
}

void EntryModel::fetchMore(const QModelIndex& parent)
{
    if (canFetchMore(parent))
        m_listing->fetchMore();
}
