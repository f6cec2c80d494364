#include "panels_log.h"

Q_LOGGING_CATEGORY(lcPanels, "kinovo.panels", QtWarningMsg)
