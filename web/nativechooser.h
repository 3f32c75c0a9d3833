#pragma once

#include "cloudentry.h"

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <QVariantList>

#include <functional>

class BreadcrumbBar;
class ChoiceJob;
class EntryFilter;
class EntryModel;
class ListingJob;
class ListingSource;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTableView;

// The chooser of our own, for one account: its folders with breadcrumbs,
// the videos in them (the rest on request), columns that sort, a search,
// several files picked at once, the keyboard (Enter opens or picks,
// Backspace goes up, Esc cancels), a busy sign on slow pages, and a
// failure said in the window with Retry. It knows the account only as a
// ListingSource. Ends once: chosen, with the entries a web chooser would
// have given, or canceled; then it closes.
class NativeChooser : public QDialog
{
    Q_OBJECT
public:
    // How long a page may take before the busy sign shows.
    static constexpr int kBusyDelayMs = 300;
    // Pages are fetched without scrolling until this many rows show.
    static constexpr int kScreenful = 40;

    NativeChooser(ListingSource& source, const QStringList& videoTypes, QWidget* parent = nullptr);
    ~NativeChooser() override;

    // Shows the window on the account's top folder.
    void showTop();

signals:
    void chosen(const QVariantList& entries);
    void canceled();

public slots:
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildWindow();
    void listCurrent();
    void runSearch();
    void start(ListingJob* listing);
    void openFolder(const CloudEntry& folder);
    void goUp();
    void goTo(int depth);
    void activate(const QModelIndex& index);
    void chooseSelected();
    void choose(const CloudEntries& files);
    void onPage();
    void onListingEnded();
    void showError(const QString& text, std::function<void()> retry);
    void updateCrumbs();
    void updateState();
    void endWith(const QVariantList* entries);
    CloudEntry entryAt(const QModelIndex& index) const;

    ListingSource& m_source;
    EntryModel* m_model;
    EntryFilter* m_filter;
    BreadcrumbBar* m_crumbs = nullptr;
    QLineEdit* m_search = nullptr;
    QLabel* m_error = nullptr;
    QPushButton* m_retry = nullptr;
    QWidget* m_errorRow = nullptr;
    QStackedWidget* m_pages = nullptr;
    QTableView* m_view = nullptr;
    QLabel* m_message = nullptr;
    QProgressBar* m_busy = nullptr;
    QCheckBox* m_showAll = nullptr;
    QPushButton* m_choose = nullptr;
    QVector<CloudEntry> m_trail; // the top first
    QString m_searched;          // not empty while a search's results show
    QPointer<ListingJob> m_listing;
    QPointer<ChoiceJob> m_choice;
    std::function<void()> m_retryAction;
    QTimer m_busyDelay;
    bool m_ended = false;
};
