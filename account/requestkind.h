#pragma once

// What an account's web-API request is for; travels on the reply.
enum REQUEST_TYPE : int {
    EMAIL_REQUEST = 0,
    FREESPACE_REQUEST = 1,
    REFRESH_TOKEN_REQUEST = 2,
    REVOKE_STATUS_REQUEST = 3,
    CHECK_FOLDER_REQUEST = 4,
    UPLOAD_CREATE_FOLDER_REQUEST = 5,
    UPLOAD_START_REQUEST = 6,
    UPLOAD_APPEND_REQUEST = 7,
    UPLOAD_FINISH_REQUEST = 8,
};

// The requests of an upload, which the providers send and judge themselves.
inline bool isUploadKind(int kind)
{
    return kind == UPLOAD_START_REQUEST || kind == UPLOAD_APPEND_REQUEST || kind == UPLOAD_FINISH_REQUEST;
}
