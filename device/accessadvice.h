#pragma once

#include <QString>
#include <QStringList>

// What a user needs to hear when an adapter is plugged in but its device node
// may not be opened: on Linux that is a missing udev rule, or a rule that
// does not apply to this session.
namespace AccessAdvice {

constexpr char packageName[] = "brivane-firmware-tool";
constexpr char udevRuleFileName[] = "70-brivane-firmware-tool.rules";
constexpr char reloadCommand[] = "sudo udevadm control --reload-rules";

// The folders udev reads rules from.
QStringList udevRuleFolders();

// The path of the installed rule, or empty when no folder holds it.
QString installedUdevRule(const QStringList &folders = udevRuleFolders());

// The command-line tool's words for a model's adapter at nodePath.
QString commandLineText(const QString &model, const QString &nodePath,
                        const QString &installedRule);

} // namespace AccessAdvice
