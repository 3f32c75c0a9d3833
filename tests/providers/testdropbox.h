#pragma once

#include "cloudview.h"
#include "dropbox.h"
#include "filepicker.h"

// The Dropbox account with the operations the tests look at opened up.
class TestDropBox : public DropBox
{
public:
    explicit TestDropBox(const char* applicationName = "Player");

    using DropBox::authorizationUrl;
    using DropBox::checkUploadFolderExists;
    using DropBox::createFolderBody;
    using DropBox::createFolderUrl;
    using DropBox::handleAuthorizationReply;
    using DropBox::parseEmail;
    using DropBox::parseErrorReply;
    using DropBox::parseTotalSpace;
    using DropBox::parseUsedSpace;
    using DropBox::redirectUri;
    using DropBox::sendAboutAccountSyncRequest;

    CloudView* view() const { return m_view; }
    const FilePicker* filePicker() const { return m_filePicker; }
    int lastCloudError() const { return m_lastCloudError; }
    void setMode(int mode) { m_mode = mode; }
};
