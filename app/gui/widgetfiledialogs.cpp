#include "widgetfiledialogs.h"

#include <QFileDialog>

QString WidgetFileDialogs::saveFileName(const QString &caption, const QString &folder,
                                        const QString &filter)
{
    return QFileDialog::getSaveFileName(nullptr, caption, folder, filter);
}

QString WidgetFileDialogs::openFileName(const QString &caption, const QString &folder,
                                        const QString &filter)
{
    return QFileDialog::getOpenFileName(nullptr, caption, folder, filter);
}
