#include "StoreChoice.h"

#include <optional>
#include <vector>

#include "ProfileFile.h"

#if defined(TOVI_STORE_POSTGRES)
#include <libpq-fe.h>
#endif

namespace tovi {

namespace {
constexpr size_t kServerCodeCapacity = 30;  // as the stats service's settings read it

struct ConninfoField {
    std::string Key, Value;
};

// The connection string's settings as libpq reads them; nothing when it cannot read them.
std::optional<std::vector<ConninfoField>> ParseConninfo([[maybe_unused]] const std::string& conninfo) {
#if defined(TOVI_STORE_POSTGRES)
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    // The error may quote the string: it is not passed on.
    if (error) PQfreemem(error);
    if (!options) return std::nullopt;
    std::vector<ConninfoField> fields;
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
        if (o->val && *o->val) fields.push_back({o->keyword, o->val});
    }
    PQconninfoFree(options);
    return fields;
#else
    return std::nullopt;
#endif
}

std::string Field(const std::vector<ConninfoField>& fields, const std::string& key) {
    for (const ConninfoField& f : fields) {
        if (f.Key == key) return f.Value;
    }
    return {};
}

}  // namespace

StoreChoice ReadStoreChoice(const std::filesystem::path& dataFolder) {
    const ProfileFile file(dataFolder / "settings.ini");
    StoreChoice choice;
    // Longer ones are cut, and then fail to connect.
    choice.Postgres = file.ReadString("store", "postgres", "", kMaxConninfoBytes + 1);
    choice.ServerCode = file.ReadString("server", "servercode", "", kServerCodeCapacity);
    return choice;
}

std::string ConninfoProblem(const std::string& conninfo) {
    if (conninfo.empty()) return {};
#if defined(TOVI_STORE_POSTGRES)
    if (conninfo.size() > kMaxConninfoBytes)
        return "The shared database's connection string is longer than " + std::to_string(kMaxConninfoBytes) +
               " characters.";
    if (!ParseConninfo(conninfo))
        return "The shared database's connection string cannot be read: give key=value settings "
               "(host=... dbname=... user=...) or a postgresql:// address.";
    return {};
#else
    return "This build of Tovi stats cannot use a shared PostgreSQL database.";
#endif
}

std::string StoreDescription(const std::string& conninfo) {
    if (conninfo.empty()) return "the local file tovistats.db";
#if !defined(TOVI_STORE_POSTGRES)
    return "a shared database";
#endif
    const auto fields = ParseConninfo(conninfo);
    if (!fields) return "a shared database whose connection string cannot be read";
    const std::string name = Field(*fields, "dbname");
    const std::string host = Field(*fields, "host").empty() ? Field(*fields, "hostaddr") : Field(*fields, "host");
    const std::string port = Field(*fields, "port");
    std::string text = "the shared database";
    if (!name.empty()) text += " " + name;
    text += host.empty() ? " on this machine" : " at " + host;
    if (!port.empty()) text += " port " + port;
    return text;
}

std::string WithoutPasswords(std::string text, const std::string& conninfo) {
    if (conninfo.empty()) return text;
    const auto fields = ParseConninfo(conninfo);
    if (!fields) return text;
    for (const char* key : {"password", "sslpassword"}) {
        const std::string secret = Field(*fields, key);
        if (secret.empty()) continue;
        for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 8))
            text.replace(at, secret.size(), "********");
    }
    return text;
}

}  // namespace tovi
