#include "ServersController.h"

#include <sodium.h>

#include <QJsonArray>

namespace tovi {

ServersController::ServersController(PanelBackend& backend) : m_backend(backend) {
    randombytes_buf(m_key.data(), m_key.size());
}

QString ServersController::IdOf(const std::string& code) const {
    std::array<unsigned char, 8> hash{};
    crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(code.data()),
                       code.size(), m_key.data(), m_key.size());
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(hash.data()), hash.size()).toHex());
}

ApiReply ServersController::List(const ApiCall&) {
    QJsonArray servers;
    for (const PanelServer& s : m_backend.Servers()) {
        servers.append(QJsonObject{{QStringLiteral("id"), IdOf(s.Code)},
                                   {QStringLiteral("name"), GameText(s.Name)},
                                   {QStringLiteral("own"), s.Own}});
    }
    return ApiReply::Json({{QStringLiteral("servers"), servers}});
}

std::optional<std::string> ServersController::ServerOf(const ApiCall& call) {
    const QString id = call.Query.queryItemValue(QStringLiteral("server"), QUrl::FullyDecoded);
    if (id.isEmpty()) return std::string();
    for (const PanelServer& s : m_backend.Servers()) {
        if (IdOf(s.Code) == id) return s.Own ? std::string() : s.Code;
    }
    return std::nullopt;
}

ApiReply ServersController::UnknownServer() {
    return ApiReply::Error(404, QStringLiteral("No such server in the record."));
}

}  // namespace tovi
