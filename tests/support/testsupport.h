#pragma once

#include <QByteArray>
#include <QString>

namespace TestSupport {

// Folder with the published test vectors, set by CTest; empty when unknown.
QString vectorsDirectory();

// Source tree root, set by CTest.
QString sourceDirectory();

// Reads a whole file; fails the calling test (QVERIFY-style) through an empty result.
QByteArray readWholeFile(const QString &path);

// Parses hexadecimal text, ignoring white space.
QByteArray fromHex(const QString &text);

} // namespace TestSupport
