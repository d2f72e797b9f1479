#include "guiservices.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>

void GuiServices::setClipboardText(const QString &text)
{
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

QString GuiServices::clipboardText() const
{
    return QGuiApplication::clipboard()->text(QClipboard::Clipboard);
}

int GuiServices::addApplicationFont(const QString &path, QStringList *families)
{
    const int fontId = QFontDatabase::addApplicationFont(path);
    if (fontId >= 0 && families)
        *families = QFontDatabase::applicationFontFamilies(fontId);
    return fontId;
}
