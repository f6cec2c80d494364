#pragma once

// The main window's log: failures are warnings, details are debug messages
// (QT_LOGGING_RULES="kinovo.mainwindow.debug=true").

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcMainWindow)
