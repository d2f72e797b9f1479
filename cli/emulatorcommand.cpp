#include "clicommon.h"

// Placeholder until the command is implemented.
int runEmulatorCommand(const QStringList &arguments)
{
    Q_UNUSED(arguments)
    return Cli::fail(QStringLiteral("command not available in this build"));
}
