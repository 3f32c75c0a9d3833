// The account's native chooser: a window of its own, fed by the provider's
// listing of the account's files, whose choice goes the way a web chooser's
// goes (the bridge's checks, then openSelectedFiles).
#include "cloudbase.h"

#include "cloudlog.h"
#include "cloudview.h"
#include "filepicker.h"
#include "nativechooser.h"

ListingSource* CloudBase::listingSource()
{
    return nullptr;
}

bool CloudBase::showNativeChooser()
{
    if (m_chooser) {
        m_chooser->raise();
        m_chooser->activateWindow();
        return true;
    }
    ListingSource* source = listingSource();
    if (!source)
        return false;
    CloudLog::instance()->logLine(LOG_INF, "%s: opening the native chooser", name());
    // Beside the web window: the player's window when it has one.
    QWidget* owner = m_view ? m_view->parentWidget() : nullptr;
    m_chooser = new NativeChooser(*source, m_filePicker->supportedExtensions(), owner);
    m_chooser->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_chooser, &NativeChooser::chosen, m_filePicker, &FilePicker::onFileSelected);
    m_chooser->showTop();
    return true;
}

void CloudBase::closeNativeChooser()
{
    delete m_chooser.data();
}
