#pragma once

// The window layer's log: failures are warnings (on by default), details are
// debug messages (QT_LOGGING_RULES="kinovo.ui.debug=true").

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcUi)
