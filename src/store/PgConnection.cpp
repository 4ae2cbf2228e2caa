#include "PgConnection.h"

#include <libpq-fe.h>

#include <charconv>

namespace tovi {

PgResult::~PgResult() {
    PQclear(m_result);
}

PgResult& PgResult::operator=(PgResult&& other) noexcept {
    if (this != &other) {
        PQclear(m_result);
        m_result = other.m_result;
        other.m_result = nullptr;
    }
    return *this;
}

bool PgResult::Ok() const {
    if (!m_result) return false;
    const ExecStatusType status = PQresultStatus(m_result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int PgResult::Rows() const {
    return m_result ? PQntuples(m_result) : 0;
}

int PgResult::Columns() const {
    return m_result ? PQnfields(m_result) : 0;
}

bool PgResult::IsNull(int row, int column) const {
    return !m_result || row >= PQntuples(m_result) || PQgetisnull(m_result, row, column);
}

std::string PgResult::Text(int row, int column) const {
    if (IsNull(row, column)) return {};
    return std::string(PQgetvalue(m_result, row, column),
                       static_cast<size_t>(PQgetlength(m_result, row, column)));
}

int64_t PgResult::Int(int row, int column) const {
    const std::string text = Text(row, column);
    int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::string PgResult::Bytes(int row, int column) const {
    if (IsNull(row, column)) return {};
    size_t size = 0;
    unsigned char* bytes =
        PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(m_result, row, column)), &size);
    if (!bytes) return {};
    std::string out(reinterpret_cast<const char*>(bytes), size);
    PQfreemem(bytes);
    return out;
}

int64_t PgResult::Changed() const {
    if (!m_result) return 0;
    const char* tuples = PQcmdTuples(m_result);
    int64_t value = 0;
    if (tuples) std::from_chars(tuples, tuples + std::char_traits<char>::length(tuples), value);
    return value;
}

std::string PgResult::State() const {
    const char* state = m_result ? PQresultErrorField(m_result, PG_DIAG_SQLSTATE) : nullptr;
    return state ? state : "";
}

std::string PgResult::Error() const {
    if (!m_result) return "no answer from the database";
    std::string message = PQresultErrorMessage(m_result);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return message;
}

std::unique_ptr<PgConnection> PgConnection::Connect(const std::string& conninfo, std::string& error,
                                                    int timeoutSeconds) {
    // The string's own settings win over these defaults.
    const std::string timeout = std::to_string(timeoutSeconds);
    const char* keys[] = {"connect_timeout", "client_encoding", "application_name", "dbname", nullptr};
    const char* values[] = {timeout.c_str(), "UTF8", "tovistats", conninfo.c_str(), nullptr};
    pg_conn* conn = PQconnectdbParams(keys, values, 1);
    if (!conn) {
        error = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        error = PQerrorMessage(conn);
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        PQfinish(conn);
        return nullptr;
    }
    // Notices (such as "relation already exists, skipping") are not the operator's business.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    std::unique_ptr<PgConnection> connection(new PgConnection(conn));
    // Times are Unix seconds in bigint columns; nothing depends on the session's time zone or
    // date style. Texts travel as UTF-8 whatever the server's default is.
    if (!connection->Run("SET client_encoding = 'UTF8'")) {
        error = connection->Error();
        return nullptr;
    }
    return connection;
}

PgConnection::~PgConnection() {
    PQfinish(m_conn);
}

PgResult PgConnection::Exec(const std::string& sql, const std::vector<PgValue>& params) {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    std::vector<int> lengths(params.size(), 0), formats(params.size(), 0);
    for (size_t i = 0; i < params.size(); ++i) {
        const PgValue& v = params[i];
        if (std::holds_alternative<std::nullptr_t>(v)) continue;
        if (auto* n = std::get_if<int64_t>(&v)) {
            texts[i] = std::to_string(*n);
        } else if (auto* s = std::get_if<std::string>(&v)) {
            // A text parameter ends at its first NUL, which no PostgreSQL text may hold.
            texts[i] = s->substr(0, s->find('\0'));
        } else {
            texts[i] = std::get<PgBytes>(v).Bytes;
            formats[i] = 1;
            lengths[i] = static_cast<int>(texts[i].size());
        }
        values[i] = texts[i].c_str();
    }
    return PgResult(PQexecParams(m_conn, sql.c_str(), static_cast<int>(params.size()), nullptr, values.data(),
                                 lengths.data(), formats.data(), 0));
}

PgResult PgConnection::ExecScript(const std::string& sql) {
    return PgResult(PQexec(m_conn, sql.c_str()));
}

bool PgConnection::Run(const std::string& sql, const std::vector<PgValue>& params) {
    return Exec(sql, params).Ok();
}

bool PgConnection::Good() const {
    return PQstatus(m_conn) == CONNECTION_OK;
}

std::string PgConnection::Error() const {
    std::string error = PQerrorMessage(m_conn);
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return error.empty() ? "the database did not answer" : error;
}

int PgConnection::Socket() const {
    return PQsocket(m_conn);
}

bool PgConnection::TakeNotifications(std::vector<std::string>& channels) {
    if (!PQconsumeInput(m_conn)) return false;
    while (PGnotify* notify = PQnotifies(m_conn)) {
        channels.emplace_back(notify->relname);
        PQfreemem(notify);
    }
    return Good();
}

}  // namespace tovi
