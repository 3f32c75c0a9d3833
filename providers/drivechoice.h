#pragma once

#include "choicejob.h"
#include "cloudentry.h"

// The entries of picked Google Drive files, with the keys the Google
// Picker's entries have ("filelink", "thumbnail", "fileSize", "fileName",
// "id", "token", "mimeType"). The player fetches each file's bytes with a
// token from the plug-in, so the entry's "token" stays empty: no token
// travels in a chooser entry.
class DriveChoice : public ChoiceJob
{
    Q_OBJECT
public:
    DriveChoice(const CloudEntries& picked, QObject* parent);

protected:
    void begin() override;
    void stop() override {}

private:
    const CloudEntries m_picked;
};
