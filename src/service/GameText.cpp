#include "GameText.h"

#include <QCryptographicHash>
#include <QList>

#include "Windows1252.h"

namespace tovi {

QString FromGameText(const std::string& bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (char b : bytes) {
        const char32_t c = Windows1252ToUnicode(static_cast<unsigned char>(b));
        text.append(QChar(static_cast<char16_t>(c)));  // the code page lies within the basic plane
    }
    return text;
}

std::string ToGameText(const QString& text) {
    std::string bytes;
    for (char32_t c : text.toUcs4()) bytes.push_back(UnicodeToWindows1252(c));
    return bytes;
}

std::string Sha256Hex(std::string_view bytes) {
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())), QCryptographicHash::Sha256);
    return digest.toHex().toStdString();
}

}  // namespace tovi
