#pragma once

#include "firmwaremanage.h"

// The controller's file dialogs as the desktop shows them.
class WidgetFileDialogs : public FileDialogs
{
public:
    QString saveFileName(const QString &caption, const QString &folder,
                         const QString &filter) override;
    QString openFileName(const QString &caption, const QString &folder,
                         const QString &filter) override;
};
