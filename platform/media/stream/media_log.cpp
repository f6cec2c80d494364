#include "platform/media/stream/media_log.h"

Q_LOGGING_CATEGORY(lcMedia, "kinovo.media", QtWarningMsg)
