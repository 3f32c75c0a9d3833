#include "cloudfiles.h"

#include "apiroad.h"

CloudFiles::CloudFiles(ApiRoad* road, QObject* parent) : QObject(parent), m_road(road)
{
    m_road->setParent(this);
}

CloudFiles::~CloudFiles() = default;

CloudEntry CloudFiles::folderAt(const QString&) const
{
    return CloudEntry();
}
