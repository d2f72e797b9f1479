#include "accessadvice.h"

#include <QDir>
#include <QFileInfo>

namespace AccessAdvice {

QStringList udevRuleFolders()
{
    return {QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
            QStringLiteral("/usr/local/lib/udev/rules.d"), QStringLiteral("/usr/lib/udev/rules.d"),
            QStringLiteral("/lib/udev/rules.d")};
}

QString installedUdevRule(const QStringList &folders)
{
    for (const QString &folder : folders) {
        const QString path = QDir(folder).filePath(QString::fromLatin1(udevRuleFileName));
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}

QString commandLineText(const QString &model, const QString &nodePath, const QString &installedRule)
{
    const QString opening =
        QStringLiteral("the %1 adapter at %2 cannot be opened: no permission").arg(model, nodePath);
    if (installedRule.isEmpty()) {
        return opening +
               QStringLiteral(". Install the package %1, whose udev rule %2 gives the user at "
                              "this computer access to the adapters, then plug the adapter in "
                              "again")
                   .arg(QLatin1String(packageName), QLatin1String(udevRuleFileName));
    }
    // The rule's "uaccess" tag serves only the local, active session: a
    // remote login, or rules not yet reloaded, leave the node closed.
    return opening +
           QStringLiteral(", although the udev rule %1 is installed. It gives access only to "
                          "the user at this computer's own screen and keyboard; if that is you, "
                          "run '%2' and plug the adapter in again")
               .arg(installedRule, QLatin1String(reloadCommand));
}

} // namespace AccessAdvice
