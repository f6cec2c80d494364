#include "skin_log.h"

Q_LOGGING_CATEGORY(lcSkin, "kinovo.skin", QtWarningMsg)
