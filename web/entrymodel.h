#pragma once

#include "cloudentry.h"

#include <QAbstractTableModel>
#include <QPointer>

class ListingJob;

// The entries of one listing as a table (name, size, modified), filled page
// by page as they arrive. A view asks for the next page when it scrolls to
// the end (canFetchMore, fetchMore), so a folder of thousands of entries is
// listed only as far as a person looks.
class EntryModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { NameColumn, SizeColumn, ModifiedColumn, ColumnCount };
    enum Role { EntryRole = Qt::UserRole, SortRole };

    explicit EntryModel(QObject* parent = nullptr);

    // Shows the listing's pages from now on, instead of what was shown.
    void setListing(ListingJob* listing);
    const CloudEntry& entry(int row) const { return m_entries.at(row); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // Whether an entry can be played: a file with bytes of its own.
    static bool isPlayable(const CloudEntry& entry);

private:
    void append(const CloudEntries& entries);

    CloudEntries m_entries;
    QPointer<ListingJob> m_listing;
};
