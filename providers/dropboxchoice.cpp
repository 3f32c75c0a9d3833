#include "dropboxchoice.h"

#include "apicall.h"
#include "dropboxfiles.h"

DropboxChoice::DropboxChoice(DropboxFiles& files, const CloudEntries& picked, QObject* parent)
    : ChoiceJob(parent), m_files(files), m_picked(picked)
{
}

void DropboxChoice::begin()
{
    next();
}

void DropboxChoice::stop()
{
    delete m_call.data();
}

void DropboxChoice::next()
{
    if (m_entries.size() == m_picked.size()) {
        setEntries(m_entries);
        finish(Done);
        return;
    }
    const CloudEntry& file = m_picked.at(m_entries.size());
    m_call = m_files.linkCall(file, this);
    connect(m_call, &ApiCall::ended, this, [this, file] {
        ApiCall* call = m_call;
        m_call = nullptr;
        call->deleteLater();
        if (call->error().isError()) {
            finish(Failed, tr("%1: %2").arg(file.name, call->error().text()));
            return;
        }
        // No thumbnail: the Chooser gives none either for most videos.
        m_entries.append(QVariantMap{{"filelink", call->answer().value(QStringLiteral("link")).toString()},
                                     {"thumbnail", QString()},
                                     {"fileSize", file.size},
                                     {"fileName", file.name}});
        next();
    });
    m_call->start();
}
