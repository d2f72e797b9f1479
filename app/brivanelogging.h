#pragma once

#include <QLoggingCategory>

// Problems in the user's own set-up that the user can act on: a settings
// value that names nothing, a certificate file that cannot be read, a file
// that cannot be saved. The command-line tool shows this category's warnings
// even when it hides the protocol log.
Q_DECLARE_LOGGING_CATEGORY(brivaneSetup)
