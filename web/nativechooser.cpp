#include "nativechooser.h"

#include "breadcrumbbar.h"
#include "choicejob.h"
#include "entryfilter.h"
#include "entrymodel.h"
#include "listingjob.h"
#include "listingsource.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QVBoxLayout>

NativeChooser::NativeChooser(ListingSource& source, const QStringList& videoTypes, QWidget* parent)
    : QDialog(parent), m_source(source), m_model(new EntryModel(this)), m_filter(new EntryFilter(videoTypes, this))
{
    setWindowTitle(tr("Choose videos from %1").arg(source.serviceName()));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    m_filter->setSourceModel(m_model);
    buildWindow();
    m_busyDelay.setSingleShot(true);
    m_busyDelay.setInterval(kBusyDelayMs);
    connect(&m_busyDelay, &QTimer::timeout, this, &NativeChooser::updateState);
    resize(720, 480);
}

NativeChooser::~NativeChooser()
{
    // Gone without a word: the jobs go with the window, their endings untold.
    if (m_listing)
        m_listing->disconnect(this);
    if (m_choice)
        m_choice->disconnect(this);
}

void NativeChooser::buildWindow()
{
    m_crumbs = new BreadcrumbBar(this);
    connect(m_crumbs, &BreadcrumbBar::crumbClicked, this, &NativeChooser::goTo);
    m_search = new QLineEdit(this);
    m_search->setPlaceholderText(tr("Search"));
    m_search->setClearButtonEnabled(true);
    connect(m_search, &QLineEdit::returnPressed, this, &NativeChooser::runSearch);
    auto* top = new QHBoxLayout;
    top->addWidget(m_crumbs, 1);
    top->addWidget(m_search);

    m_errorRow = new QWidget(this);
    m_error = new QLabel(m_errorRow);
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #b00020;"));
    m_retry = new QPushButton(tr("Retry"), m_errorRow);
    connect(m_retry, &QPushButton::clicked, this, [this] {
        m_errorRow->hide();
        if (m_retryAction)
            m_retryAction();
    });
    auto* errorLayout = new QHBoxLayout(m_errorRow);
    errorLayout->setContentsMargins(0, 0, 0, 0);
    errorLayout->addWidget(m_error, 1);
    errorLayout->addWidget(m_retry);
    m_errorRow->hide();

    m_view = new QTableView(this);
    m_view->setModel(m_filter);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setSortingEnabled(true);
    m_view->sortByColumn(EntryModel::NameColumn, Qt::AscendingOrder);
    m_view->setShowGrid(false);
    m_view->setWordWrap(false);
    m_view->verticalHeader()->hide();
    m_view->horizontalHeader()->setSectionResizeMode(EntryModel::NameColumn, QHeaderView::Stretch);
    // Wide enough for the widest size and date from the start: measuring the
    // rows would cost a pass over every page and lag behind the first one.
    const QFontMetrics metrics = m_view->fontMetrics();
    const int margin = 4 * metrics.averageCharWidth();
    m_view->horizontalHeader()->resizeSection(EntryModel::SizeColumn,
                                              metrics.horizontalAdvance(QStringLiteral("1023.9 MiB")) + margin);
    m_view->horizontalHeader()->resizeSection(EntryModel::ModifiedColumn,
                                              metrics.horizontalAdvance(QStringLiteral("2026-12-31 23:59")) + margin);
    m_view->installEventFilter(this);
    connect(m_view, &QTableView::doubleClicked, this, &NativeChooser::activate);
    connect(m_view->selectionModel(), &QItemSelectionModel::selectionChanged, this, &NativeChooser::updateState);
    m_message = new QLabel(this);
    m_message->setAlignment(Qt::AlignCenter);
    m_message->setWordWrap(true);
    m_pages = new QStackedWidget(this);
    m_pages->addWidget(m_view);
    m_pages->addWidget(m_message);

    m_busy = new QProgressBar(this);
    m_busy->setRange(0, 0);
    m_busy->setTextVisible(false);
    m_busy->setMaximumHeight(6);
    m_busy->hide();

    m_showAll = new QCheckBox(tr("Show all files"), this);
    m_showAll->setChecked(m_filter->showsAll());
    connect(m_showAll, &QCheckBox::toggled, this, [this](bool all) {
        m_filter->setShowAll(all);
        updateState();
    });
    auto* cancel = new QPushButton(tr("Cancel"), this);
    m_choose = new QPushButton(tr("Choose"), this);
    // Enter belongs to the list and the search field, not to a button.
    for (QPushButton* button : {cancel, m_choose, m_retry})
        button->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &NativeChooser::reject);
    connect(m_choose, &QPushButton::clicked, this, &NativeChooser::chooseSelected);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_showAll);
    bottom->addStretch(1);
    bottom->addWidget(cancel);
    bottom->addWidget(m_choose);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_errorRow);
    layout->addWidget(m_pages, 1);
    layout->addWidget(m_busy);
    layout->addLayout(bottom);
}

void NativeChooser::showTop()
{
    m_trail = {m_source.top()};
    listCurrent();
    show();
    m_view->setFocus();
}

void NativeChooser::listCurrent()
{
    m_searched.clear();
    m_search->clear();
    start(m_source.list(m_trail.last(), this));
}

void NativeChooser::runSearch()
{
    const QString text = m_search->text().simplified();
    if (text.isEmpty()) {
        listCurrent();
        return;
    }
    m_searched = text;
    start(m_source.search(text, this));
}

void NativeChooser::start(ListingJob* listing)
{
    if (m_listing) {
        m_listing->disconnect(this);
        m_listing->cancel();
        m_listing->deleteLater();
    }
    m_errorRow->hide();
    m_listing = listing;
    m_model->setListing(listing);
    connect(listing, &ListingJob::pageRequested, &m_busyDelay, qOverload<>(&QTimer::start));
    // After the model took the page in.
    connect(listing, &ListingJob::pageArrived, this, &NativeChooser::onPage, Qt::QueuedConnection);
    connect(listing, &ListingJob::ended, this, &NativeChooser::onListingEnded);
    updateCrumbs();
    listing->start();
    updateState();
    m_view->setFocus();
}

void NativeChooser::onPage()
{
    // A page of files that are all hidden would leave nothing to scroll to.
    if (m_listing && m_filter->rowCount() < kScreenful && m_listing->canFetchMore())
        m_listing->fetchMore();
    if (m_view->selectionModel()->currentIndex().isValid() == false && m_filter->rowCount() > 0)
        m_view->setCurrentIndex(m_filter->index(0, 0));
    updateState();
}

void NativeChooser::onListingEnded()
{
    if (m_listing && m_listing->ending() == ListingJob::Failed) {
        const QString what = m_searched.isEmpty() ? tr("This folder could not be listed")
                                                  : tr("The search failed");
        showError(QStringLiteral("%1: %2").arg(what, m_listing->reason()),
                  m_searched.isEmpty() ? std::function<void()>([this] { listCurrent(); })
                                       : std::function<void()>([this] { runSearch(); }));
    }
    updateState();
}

void NativeChooser::showError(const QString& text, std::function<void()> retry)
{
    m_error->setText(text);
    m_retryAction = std::move(retry);
    m_errorRow->show();
    m_retry->setFocus();
}

void NativeChooser::updateCrumbs()
{
    QStringList names;
    for (const CloudEntry& folder : m_trail)
        names << (folder.name.isEmpty() ? m_source.serviceName() : folder.name);
    if (!m_searched.isEmpty())
        names << tr("Search: %1").arg(m_searched);
    m_crumbs->setCrumbs(names);
}

void NativeChooser::updateState()
{
    const bool listingBusy = m_listing && m_listing->isBusy();
    const bool choosing = m_choice && !m_choice->hasEnded();
    const bool busy = listingBusy || choosing;
    if (!busy)
        m_busyDelay.stop();
    m_busy->setVisible(busy && !m_busyDelay.isActive());
    m_view->setEnabled(!choosing);
    QString text;
    const bool listed = m_listing && m_listing->ending() == ListingJob::Done;
    if (listed && m_filter->rowCount() == 0) {
        if (!m_searched.isEmpty())
            text = tr("Nothing found for \u201C%1\u201D.").arg(m_searched);
        else if (m_model->rowCount() == 0)
            text = tr("This folder is empty.");
        else
            text = tr("No videos here. %n other file(s) hidden: tick \u201CShow all files\u201D to see them.", "",
                      m_filter->hiddenCount());
    }
    m_message->setText(text);
    m_pages->setCurrentWidget(text.isEmpty() ? static_cast<QWidget*>(m_view) : m_message);
    bool files = false;
    for (const QModelIndex& row : m_view->selectionModel()->selectedRows())
        files = files || EntryModel::isPlayable(entryAt(row));
    m_choose->setEnabled(files && !choosing);
}

CloudEntry NativeChooser::entryAt(const QModelIndex& index) const
{
    return m_filter->data(index.siblingAtColumn(EntryModel::NameColumn), EntryModel::EntryRole).value<CloudEntry>();
}

void NativeChooser::openFolder(const CloudEntry& folder)
{
    m_trail.append(folder);
    listCurrent();
}

void NativeChooser::goUp()
{
    if (!m_searched.isEmpty())
        listCurrent();
    else if (m_trail.size() > 1)
        goTo(m_trail.size() - 2);
}

void NativeChooser::goTo(int depth)
{
    if (depth < 0 || depth >= m_trail.size())
        return;
    m_trail.resize(depth + 1);
    listCurrent();
}

void NativeChooser::activate(const QModelIndex& index)
{
    if (!index.isValid() || (m_choice && !m_choice->hasEnded()))
        return;
    const CloudEntry entry = entryAt(index);
    if (entry.folder) {
        openFolder(entry);
        return;
    }
    if (!m_view->selectionModel()->isRowSelected(index.row(), QModelIndex()))
        m_view->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    chooseSelected();
}

void NativeChooser::chooseSelected()
{
    CloudEntries files;
    QModelIndexList rows = m_view->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const QModelIndex& row : rows) {
        const CloudEntry entry = entryAt(row);
        if (EntryModel::isPlayable(entry))
            files.append(entry);
    }
    if (!files.isEmpty())
        choose(files);
}

void NativeChooser::choose(const CloudEntries& files)
{
    m_errorRow->hide();
    m_choice = m_source.choose(files, this);
    connect(m_choice, &ChoiceJob::ended, this, [this, files] {
        ChoiceJob* choice = m_choice;
        choice->deleteLater();
        if (choice->ending() == ChoiceJob::Done) {
            const QVariantList entries = choice->entries();
            endWith(&entries);
            return;
        }
        if (choice->ending() == ChoiceJob::Failed)
            showError(tr("The files could not be prepared: %1").arg(choice->reason()), [this, files] { choose(files); });
        updateState();
    });
    m_busyDelay.start();
    m_choice->start();
    updateState();
}

void NativeChooser::endWith(const QVariantList* entries)
{
    if (m_ended)
        return;
    m_ended = true;
    if (m_listing)
        m_listing->cancel();
    if (m_choice)
        m_choice->cancel();
    if (entries)
        emit chosen(*entries);
    else
        emit canceled();
    close();
}

void NativeChooser::reject()
{
    endWith(nullptr);
    QDialog::reject();
}

void NativeChooser::closeEvent(QCloseEvent* event)
{
    endWith(nullptr);
    QDialog::closeEvent(event);
}

bool NativeChooser::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_view && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            const QModelIndex current = m_view->currentIndex();
            // Enter on a folder opens it, unless files are picked too.
            if (current.isValid() && entryAt(current).folder
                && m_view->selectionModel()->selectedRows().size() <= 1)
                activate(current);
            else
                chooseSelected();
            return true;
        }
        if (key == Qt::Key_Backspace) {
            goUp();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
