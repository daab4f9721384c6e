#pragma once

#include <QLoggingCategory>

// What concerns the client as a whole (its configuration, its settings file),
// logged as "orvex: ...". Here rather than with the other categories
// (platform/Logging.h, which includes this) because the configuration is read
// below every other layer.
Q_DECLARE_LOGGING_CATEGORY(lcApp)
