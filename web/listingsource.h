#pragma once

#include "cloudentry.h"

#include <QStringList>

class ChoiceJob;
class ListingJob;
class QObject;

// What a native chooser needs of one cloud account: its folders, a search,
// and the entries of what was picked. The jobs are made, not started, and
// belong to the given parent.
class ListingSource
{
public:
    virtual ~ListingSource() = default;

    virtual QString serviceName() const = 0;
    // The account's top folder.
    virtual CloudEntry top() const = 0;
    virtual ListingJob* list(const CloudEntry& folder, QObject* parent) = 0;
    // Files and folders whose names hold every word of the text, anywhere
    // in the account.
    virtual ListingJob* search(const QString& text, QObject* parent) = 0;
    virtual ChoiceJob* choose(const CloudEntries& files, QObject* parent) = 0;
};
