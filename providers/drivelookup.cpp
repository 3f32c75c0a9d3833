#include "drivelookup.h"

#include "apicall.h"
#include "driveanswers.h"
#include "drivefiles.h"
#include "drivelisting.h"

#include <QJsonArray>

namespace {

// Names are not unique in a Drive: a few are enough to prefer a folder.
constexpr int kCandidates = 10;

} // namespace

DriveLookup::DriveLookup(DriveFiles& files, const QString& path, QObject* parent)
    : EntryLookup(files.road(), path, parent), m_files(files)
{
}

void DriveLookup::begin()
{
    m_names = namesOf(m_path);
    m_current = m_files.top();
    step();
}

void DriveLookup::step()
{
    if (m_names.isEmpty()) {
        found(m_current);
        return;
    }
    const QString name = m_names.takeFirst();
    const QString expression = QStringLiteral("name = '%1' and '%2' in parents and trashed = false")
                                   .arg(DriveAnswers::quotedTerm(name), DriveAnswers::quotedTerm(m_current.id));
    const QNetworkRequest request(DriveListing::listUrl(expression, QString(), kCandidates));
    const bool last = m_names.isEmpty();
    call(new ApiCall(road(), request, std::nullopt, this), [this, last](const QJsonObject& answer) {
        CloudEntry chosen;
        for (const QJsonValue& file : answer.value(QStringLiteral("files")).toArray()) {
            const CloudEntry entry = DriveAnswers::entry(file.toObject());
            // Only a folder can hold the rest of the path; folders come first.
            if (!entry.id.isEmpty() && (last || entry.folder)) {
                chosen = entry;
                break;
            }
        }
        if (chosen.id.isEmpty()) {
            notFound();
            return;
        }
        chosen.path = m_current.path + QLatin1Char('/') + chosen.name;
        m_current = chosen;
        step();
    });
}
