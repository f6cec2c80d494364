#pragma once

// The application's log: failures are warnings (on by default), details are
// debug messages (QT_LOGGING_RULES="kinovo.app.debug=true").

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApp)
