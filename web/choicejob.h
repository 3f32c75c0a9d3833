#pragma once

#include "cloudjob.h"

#include <QVariantList>

// What the chooser hands over for the files a person picked: the same
// entries the services' web choosers report (see FilePicker), once done.
class ChoiceJob : public CloudJob
{
    Q_OBJECT
public:
    QVariantList entries() const { return m_entries; }

protected:
    using CloudJob::CloudJob;
    void setEntries(const QVariantList& entries) { m_entries = entries; }

private:
    QVariantList m_entries;
};
