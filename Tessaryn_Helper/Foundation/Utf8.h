#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Strict UTF-8: any invalid or incomplete sequence gives no text at all, never a repaired one.
std::optional<QString> decodeUtf8Strictly(const QByteArray& bytes);

// Removes Unicode white space and line breaks from both ends.
QString trimmedWhitespace(const QString& text);
