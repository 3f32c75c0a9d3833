#pragma once

#include <QString>

// Folders and files of the user's profile that are the user's alone: folders
// 0700, files 0600.
class PrivateFolder
{
public:
    // Makes the folder and its missing parents with the owner-only mode from
    // the start (a folder narrowed after mkdir would be open for a moment),
    // and narrows the folder itself when it was there with a wider mode.
    static bool make(const QString& folder);
    // Narrows a folder and everything under it; symbolic links are left
    // alone, never followed.
    static bool narrowTree(const QString& folder);
    // Narrows one file that exists; true when there is none.
    static bool narrowFile(const QString& path);
};
