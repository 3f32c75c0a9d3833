#pragma once

#include <QSortFilterProxyModel>
#include <QStringList>

// What the chooser shows of a listing: folders, and the files of the video
// types it was given (name extensions such as ".mkv", or MIME types), the
// rest only when asked for; sorted by any column, folders first either way.
class EntryFilter : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit EntryFilter(const QStringList& videoTypes, QObject* parent = nullptr);

    void setShowAll(bool showAll);
    bool showsAll() const { return m_showAll; }
    // Rows of the source left out now.
    int hiddenCount() const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    QStringList m_extensions;
    QStringList m_mimeTypes;
    bool m_showAll = false;
};
