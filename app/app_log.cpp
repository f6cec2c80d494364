#include "app_log.h"

Q_LOGGING_CATEGORY(lcApp, "kinovo.app", QtWarningMsg)
