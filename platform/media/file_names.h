#pragma once

// File names are bytes. Names from the user's environment (arguments,
// variables, folder listings) become text as UTF-8, as Qt reads them; a
// byte that is no UTF-8 is kept as the lone surrogate U+DC80 + byte, so
// that the name goes back to open() exactly as it came (QFile::decodeName
// and encodeName would put U+FFFD in its place).

#include <QByteArray>
#include <QString>

namespace kinovo::media {

QString FileNameFromBytes(const QByteArray& bytes);
QByteArray FileNameToBytes(const QString& name);

}  // namespace kinovo::media
