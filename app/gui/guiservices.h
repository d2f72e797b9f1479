#pragma once

#include "global.h"

// Clipboard and font database of the running QGuiApplication.
class GuiServices : public GlobalGuiServices
{
public:
    void setClipboardText(const QString &text) override;
    QString clipboardText() const override;
    int addApplicationFont(const QString &path, QStringList *families) override;
};
