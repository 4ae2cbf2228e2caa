#include "StoreChoice.h"

#include <algorithm>
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
std::optional<std::vector<ConninfoField>> ParseOne([[maybe_unused]] const std::string& conninfo) {
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

// Whether a dbname is itself a connection string, as libpq would take it where it expands one.
bool IsConninfo(const std::string& dbname) {
    return dbname.find('=') != std::string::npos || dbname.rfind("postgresql://", 0) == 0 ||
           dbname.rfind("postgres://", 0) == 0;
}

// The settings, followed by those of a connection string hidden in dbname (a password may be
// there too), which stand in for the outer ones where both say something.
std::optional<std::vector<ConninfoField>> ParseConninfo(const std::string& conninfo) {
    auto fields = ParseOne(conninfo);
    for (int depth = 0; fields && depth < 4; ++depth) {
        std::string hidden;
        for (const ConninfoField& f : *fields) {
            if (f.Key == "dbname" && IsConninfo(f.Value)) hidden = f.Value;
        }
        if (hidden.empty()) break;
        auto inner = ParseOne(hidden);
        std::erase_if(*fields, [&](const ConninfoField& f) { return f.Key == "dbname" && f.Value == hidden; });
        if (!inner) break;
        // Inner settings win: Field() takes the last of a key.
        fields->insert(fields->end(), inner->begin(), inner->end());
    }
    return fields;
}

[[maybe_unused]] bool HidesConninfo(const std::string& conninfo) {
    const auto fields = ParseOne(conninfo);
    if (!fields) return false;
    for (const ConninfoField& f : *fields) {
        if (f.Key == "dbname" && IsConninfo(f.Value)) return true;
    }
    return false;
}

std::string Field(const std::vector<ConninfoField>& fields, const std::string& key) {
    std::string value;
    for (const ConninfoField& f : fields) {
        if (f.Key == key) value = f.Value;
    }
    return value;
}

constexpr const char* kMask = "********";

bool Space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Passwords written out in a text, whatever string they came from: `password=` settings (quoted
// or not, in key=value form or a URI's query) and the password of a URI's user.
std::string MaskWrittenPasswords(std::string text) {
    for (size_t at = text.find("password"); at != std::string::npos; at = text.find("password", at + 1)) {
        size_t value = at + 8;
        while (value < text.size() && Space(text[value])) ++value;
        if (value >= text.size() || text[value] != '=') continue;
        ++value;
        while (value < text.size() && Space(text[value])) ++value;
        size_t end = value;
        if (end < text.size() && text[end] == '\'') {
            for (++end; end < text.size() && text[end] != '\''; ++end) {
                if (text[end] == '\\') ++end;
            }
            end = std::min(end + 1, text.size());
        } else {
            while (end < text.size() && !Space(text[end]) && text[end] != '&' && text[end] != '"') ++end;
        }
        if (end > value) text.replace(value, end - value, kMask);
    }
    for (size_t at = text.find("://"); at != std::string::npos; at = text.find("://", at + 3)) {
        // The user's part ends at the last '@' before the host's end.
        const size_t start = at + 3;
        size_t end = start;
        while (end < text.size() && !Space(text[end]) && text[end] != '/' && text[end] != '?' &&
               text[end] != '"' && text[end] != '\'')
            ++end;
        const size_t atSign = text.rfind('@', end == 0 ? 0 : end - 1);
        if (atSign == std::string::npos || atSign < start || atSign >= end) continue;
        const size_t colon = text.find(':', start);
        if (colon == std::string::npos || colon > atSign) continue;
        text.replace(colon + 1, atSign - colon - 1, kMask);
    }
    return text;
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

std::string ConninfoProblem(const std::string& conninfo, bool saving) {
    if (conninfo.empty()) return {};
#if defined(TOVI_STORE_POSTGRES)
    if (conninfo.size() > kMaxConninfoBytes)
        return "The shared database's connection string is longer than " + std::to_string(kMaxConninfoBytes) +
               " characters.";
    if (!ParseConninfo(conninfo))
        return "The shared database's connection string cannot be read: give key=value settings "
               "(host=... dbname=... user=...) or a postgresql:// address.";
    // The program does not read a string in dbname as libpq would elsewhere: it would be taken
    // for the database's name, password and all.
    if (saving && HidesConninfo(conninfo))
        return "The shared database's connection string has another connection string as its dbname: give "
               "the settings themselves (host=... dbname=... user=...) or the postgresql:// address alone.";
    return {};
#else
    static_cast<void>(saving);
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
    text = MaskWrittenPasswords(std::move(text));
    const auto fields = ParseConninfo(conninfo);
    if (!fields) return text;
    for (const ConninfoField& f : *fields) {
        if (f.Key != "password" && f.Key != "sslpassword") continue;
        for (size_t at = text.find(f.Value); at != std::string::npos; at = text.find(f.Value, at + 8))
            text.replace(at, f.Value.size(), kMask);
    }
    return text;
}

}  // namespace tovi
