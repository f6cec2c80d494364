// The desktop's services for files: the user's special folders.
#pragma once

#include <QString>

enum class SpecialFolder { Videos, Pictures, Desktop };

// The folder's path (XDG user directory), or empty when it cannot be
// resolved or does not exist.
QString SpecialFolderPath(SpecialFolder folder);
// The user's home folder ($HOME), or empty.
QString HomeFolder();
