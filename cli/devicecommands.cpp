#include "clicommon.h"

// Placeholder until the command is implemented.
int runDeviceCommand(const QString &command, const QStringList &arguments)
{
    Q_UNUSED(arguments)
    return Cli::fail(QStringLiteral("%1: not available in this build").arg(command));
}
