// The desktop's services for files and folders: the user's special folders,
// free space, existence, revealing a file in the file manager, opening a web
// address, message boxes, and the end of the session.
//
// Paths are the system's bytes carried in a QString as
// kinovo::media::FileNameFromBytes makes them: a byte that is no UTF-8 stays
// that byte on its way back to the system.
#pragma once

#include "framework.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

enum class SpecialFolder { Videos, Pictures, Desktop };

// The folder's path: the XDG user directory set in user-dirs.dirs, whether
// it exists yet or not; without a setting, the usual folder under $HOME
// ("Videos", "Pictures", "Desktop") when it exists. Empty otherwise, also
// for a directory set to the home folder itself (XDG's way to disable it).
QString SpecialFolderPath(SpecialFolder folder);
// The user's home folder ($HOME), or empty.
QString HomeFolder();
// A path as the user may read it: a byte that is no UTF-8 shows as \xHH.
QString PrintablePath(const QString& path);

// Bytes available to the user on the volume of `path` (statvfs f_bavail *
// f_frsize); a folder that does not exist yet is measured at its nearest
// existing parent. None when the query fails.
std::optional<std::uint64_t> FreeBytesAvailable(const QString& path);
// Whether anything (a file, a folder, a dangling link) has this name.
bool FileExists(const QString& path);
// Whether this is a folder (or a link to one).
bool FolderExists(const QString& path);
// Whether this process may write into the folder (access W_OK).
bool FolderWritable(const QString& path);
// Creates the folder and its parents when missing; false (logged) on failure.
bool EnsureFolder(const QString& path);

// Shows the file selected in the desktop's file manager without waiting for
// it (org.freedesktop.FileManager1), or opens its folder where no file
// manager answers that interface.
void RevealFile(const QString& path);
// Opens a web address in the user's browser.
void OpenUrl(const QString& url);

// A modal message with an error icon and an OK button, on `owner`.
void MessageBox(HWND owner, const QString& text, const QString& caption);

// Runs `handler` on the user-interface thread when the process is asked to
// end (SIGTERM, SIGINT, SIGHUP) or the desktop session ends. One handler;
// an empty one removes it.
void SetTerminationHandler(std::function<void()> handler);
