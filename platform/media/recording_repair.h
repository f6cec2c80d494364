#pragma once

// Recordings cut short by a crash, a kill, the end of the session or a
// power loss are made playable at the next start (see
// platform/media/stream/avi_repair.h).

#include <QString>
#include <QStringList>
#include <stop_token>

namespace kinovo::media {

// Repairs the interrupted recordings of `folder`; the files repaired. It
// copies each of them: not for the user-interface thread.
QStringList RepairInterruptedRecordings(const QString& folder, std::stop_token stop);

}  // namespace kinovo::media
