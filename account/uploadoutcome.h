#pragma once

#include "clouderror.h"

#include <QMetaType>
#include <QString>

// How one upload ended; every accepted upload ends exactly once.
struct UploadOutcome {
    enum Ending { Finished, Failed, Canceled };

    Ending ending = Failed;
    QString filePath;
    QString targetPath;
    // Finished: where the service says it stored the file (the name may
    // differ from the local one when that name was taken) and its size.
    QString storedPath;
    quint64 storedSize = 0;
    // Failed or Canceled: why. MaybeStored when the service may have
    // committed the file before the answer was lost or the user canceled.
    CloudError error;
};

Q_DECLARE_METATYPE(UploadOutcome)
