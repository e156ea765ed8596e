#include "Utf8.h"

#include <QStringDecoder>

std::optional<QString> decodeUtf8Strictly(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString trimmedWhitespace(const QString& text)
{
    // QString::trimmed covers Unicode white space, line and paragraph separators included.
    return text.trimmed();
}
