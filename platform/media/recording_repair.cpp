#include "platform/media/recording_repair.h"

#include <filesystem>

#include "platform/media/file_names.h"
#include "platform/media/stream/avi_repair.h"

namespace kinovo::media {

QStringList RepairInterruptedRecordings(const QString& folder, std::stop_token stop) {
  const std::filesystem::path path(FileNameToBytes(folder).toStdString());
  QStringList repaired;
  for (const std::filesystem::path& file :
       stream::RepairInterruptedRecordings(path, std::move(stop))) {
    repaired.append(FileNameFromBytes(QByteArray::fromStdString(file.string())));
  }
  return repaired;
}

}  // namespace kinovo::media
