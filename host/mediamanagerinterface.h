#pragma once

#include "refcounted.h"

#include <QUrl>

namespace QoviLumen {

// The player's media manager. Plug-ins meet only its queued files.
class MediaManagerInterface
{
public:
    // A file the player knows or has queued; shared by reference count.
    class QueuedFileInterface : public qvtl::RefCounted
    {
    public:
        virtual QUrl url() const = 0;
    };

    virtual ~MediaManagerInterface() = default;
};

} // namespace QoviLumen
