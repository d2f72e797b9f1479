#pragma once

#include <QByteArray>
#include <QString>

namespace TestSupport {

// Folder with the published test vectors, set by CTest; empty when unknown.
QString vectorsDirectory();

// Reads a whole file; empty when it cannot be read.
QByteArray readWholeFile(const QString &path);
// Writes a whole file; the path, or empty when it cannot be written.
QString writeWholeFile(const QString &path, const QByteArray &bytes);

// Parses hexadecimal text, ignoring white space.
QByteArray fromHex(const QString &text);

} // namespace TestSupport
