#pragma once

// The panels' log: failures are warnings (on by default), details are debug
// messages (QT_LOGGING_RULES="kinovo.panels.debug=true").

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcPanels)
