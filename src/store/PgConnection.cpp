#include "PgConnection.h"

#include <libpq-fe.h>

#if defined(_WIN32)
#include <winsock2.h>
using pollfd = WSAPOLLFD;
inline int poll(pollfd* fds, unsigned long count, int ms) {
    return WSAPoll(fds, count, ms);
}
#else
#include <poll.h>
#endif

#include <algorithm>
#include <charconv>
#include <chrono>

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

std::string PgResult::Message() const {
    const char* message = m_result ? PQresultErrorField(m_result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    return message ? message : "";
}

bool PgResult::Skipped() const {
    return m_result && PQresultStatus(m_result) == PGRES_PIPELINE_ABORTED;
}

bool PgResult::SyncPoint() const {
    return m_result && PQresultStatus(m_result) == PGRES_PIPELINE_SYNC;
}

std::string PgResult::Error() const {
    if (!m_result) return "no answer from the database";
    std::string message = PQresultErrorMessage(m_result);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return message;
}

namespace {

// libpq's settings for every connection, around the operator's string. A host gone silent (off
// the network, without closing its connections) must not hold a statement for long: TCP gives up
// on data not acknowledged within tcp_user_timeout, and an idle connection is probed by
// keepalives. A server that hangs while its kernel still answers defeats both: the statements'
// own deadline covers that (Limit). What the string says wins over those, as it comes after them;
// the text encoding comes after the string, as the program depends on it.
template <typename Open>
pg_conn* OpenWith(const std::string& conninfo, int timeoutSeconds, Open open) {
    const std::string timeout = std::to_string(timeoutSeconds);
    const char* keys[] = {
        "connect_timeout",  "application_name", "keepalives", "keepalives_idle", "keepalives_interval",
        "keepalives_count", "tcp_user_timeout", "dbname",     "client_encoding", nullptr};
    const char* values[] = {timeout.c_str(), "tovistats",      "1",    "10",   "5", "3",
                            "15000",         conninfo.c_str(), "UTF8", nullptr};
    return open(keys, values);
}

std::string ConnectionError(pg_conn* conn) {
    std::string error = conn ? PQerrorMessage(conn) : "out of memory";
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return error;
}

}  // namespace

std::unique_ptr<PgConnection> PgConnection::Connect(const std::string& conninfo, std::string& error,
                                                    int timeoutSeconds, int deadlineMs) {
    pg_conn* conn =
        OpenWith(conninfo, timeoutSeconds, [](const char* const* keys, const char* const* values) {
            return PQconnectdbParams(keys, values, 1);
        });
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        error = ConnectionError(conn);
        PQfinish(conn);
        return nullptr;
    }
    // Notices (such as "relation already exists, skipping") are not the operator's business.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    std::unique_ptr<PgConnection> connection(new PgConnection(conn, deadlineMs));
    if (!connection->Limit()) {
        error = connection->Error();
        return nullptr;
    }
    return connection;
}

// Statements are sent without waiting for the socket to take them, and the server is told to end
// a statement, and a wait for a lock sooner still, before the deadline: a database that is merely
// busy answers with an error and the connection stays. (Said with SET rather than in the startup
// options, which a pooler in front of the database may refuse.)
// A connection being made sends them without waiting, as the last step of its making.
std::string PgConnection::LimitScript() const {
    return "SET statement_timeout = " + std::to_string(m_deadlineMs - m_deadlineMs / 5) +
           "; SET lock_timeout = " + std::to_string(m_deadlineMs / 2);
}

bool PgConnection::Limit() {
    return PQsetnonblocking(m_conn, 1) == 0 && ExecScript(LimitScript()).Ok();
}

std::unique_ptr<PgConnection> PgConnection::Start(const std::string& conninfo, std::string& error,
                                                  int deadlineMs) {
    pg_conn* conn = OpenWith(conninfo, 0, [](const char* const* keys, const char* const* values) {
        return PQconnectStartParams(keys, values, 1);
    });
    if (!conn || PQstatus(conn) == CONNECTION_BAD) {
        error = ConnectionError(conn);
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    std::unique_ptr<PgConnection> connection(new PgConnection(conn, deadlineMs));
    // As libpq asks: the first step waits for the socket to take data.
    connection->m_connecting = true;
    connection->m_wantWrite = true;
    return connection;
}

PgConnection::Progress PgConnection::Advance() {
    return Step(0);
}

PgConnection::Progress PgConnection::Finish(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    Progress progress = Step(0);
    while (progress == Progress::Connecting) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) break;
        progress = Step(static_cast<int>(left));
    }
    return progress;
}

// Each of libpq's steps is taken only once the socket is ready for it: taken before, a connection
// still being opened would count as open. `waitMs` 0 never waits.
PgConnection::Progress PgConnection::Step(int waitMs) {
    for (int steps = 0; m_connecting && steps < 64; ++steps) {
        const int socket = m_conn ? PQsocket(m_conn) : -1;
        if (!m_conn || PQstatus(m_conn) == CONNECTION_BAD || socket < 0) {
            m_connecting = false;
            return Progress::Failed;
        }
        if (m_limiting) {
            // The limits' answers, within the deadline: a database that stops right after taking
            // the connection holds nothing up.
            std::vector<PgResult> answers;
            const Answers got = TakeAnswers(answers, waitMs);
            if (got == Answers::Waiting) return Progress::Connecting;
            m_connecting = m_limiting = false;
            for (const PgResult& answer : answers)
                if (!answer.Ok()) return Progress::Failed;
            return got == Answers::Done ? Progress::Ready : Progress::Failed;
        }
        pollfd ready{};
        ready.fd = static_cast<decltype(ready.fd)>(socket);
        ready.events = static_cast<short>(m_wantWrite ? POLLOUT : POLLIN);
        if (poll(&ready, 1, waitMs) <= 0) return Progress::Connecting;
        switch (PQconnectPoll(m_conn)) {
            case PGRES_POLLING_OK:
                if (PQsetnonblocking(m_conn, 1) != 0 || !SendScript(LimitScript())) {
                    m_connecting = false;
                    return Progress::Failed;
                }
                m_limiting = true;
                m_wantWrite = false;
                break;
            case PGRES_POLLING_FAILED:
                m_connecting = false;
                return Progress::Failed;
            case PGRES_POLLING_WRITING:
                m_wantWrite = true;
                break;
            default:
                m_wantWrite = false;
                break;
        }
    }
    return m_connecting ? Progress::Connecting : Progress::Ready;
}

PgConnection::~PgConnection() {
    PQfinish(m_conn);
}

namespace {

// Parameters as libpq takes them.
struct Params {
    explicit Params(const std::vector<PgValue>& params)
        : texts(params.size()),
          values(params.size(), nullptr),
          lengths(params.size(), 0),
          formats(params.size(), 0) {
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
    }
    int Count() const { return static_cast<int>(values.size()); }
    std::vector<std::string> texts;
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
};

}  // namespace

PgResult PgConnection::Exec(const std::string& sql, const std::vector<PgValue>& params) {
    if (!m_conn || InPipeline() || m_answering) return PgResult();
    const Params p(params);
    return Await(PQsendQueryParams(m_conn, sql.c_str(), p.Count(), nullptr, p.values.data(), p.lengths.data(),
                                   p.formats.data(), 0) == 1);
}

// As PQexec answers: the last result, or the error that ended the statements. libpq's own wait
// (PQgetResult on a busy connection) has no limit, so the socket is watched here instead.
PgResult PgConnection::Await(bool sent) {
    if (!sent) return PgResult();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_deadlineMs);
    PgResult last;
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed < 0) return last;
        while (!PQisBusy(m_conn)) {
            pg_result* next = PQgetResult(m_conn);
            if (!next) return last;
            if (last.Ok() || last.Null()) last = PgResult(next);
            else PQclear(next);  // the first error is the one that counts
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            GiveUp();
            return PgResult();
        }
        pollfd ready{};
        ready.fd = static_cast<decltype(ready.fd)>(PQsocket(m_conn));
        ready.events = static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0));
        if (ready.fd < 0) return last;
        if (poll(&ready, 1, static_cast<int>(left)) > 0 && (ready.revents & (POLLIN | POLLERR | POLLHUP)) &&
            PQconsumeInput(m_conn) != 1 && PQisBusy(m_conn))
            return last;
    }
}

// No cancel request is sent: libpq 15's waits for the server without a limit. Closing the
// connection is enough, as the server ends the statement itself (statement_timeout) and the
// session with it once it finds the connection gone.
std::string PgConnection::NoAnswerText(int deadlineMs) {
    return "the database did not answer within " + std::to_string(deadlineMs / 1000) + "." +
           std::to_string(deadlineMs % 1000 / 100) + " s";
}

void PgConnection::GiveUp() {
    m_error = NoAnswerText(m_deadlineMs);
    m_timedOut = true;
    PQfinish(m_conn);
    m_conn = nullptr;
}

bool PgConnection::SendScript(const std::string& sql) {
    if (!m_conn || m_answering || InPipeline() || PQsendQuery(m_conn, sql.c_str()) != 1) return false;
    m_answering = true;
    m_answerBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_deadlineMs);
    return true;
}

PgConnection::Answers PgConnection::TakeAnswers(std::vector<PgResult>& results, int waitMs) {
    if (!m_conn || !m_answering) return Answers::Failed;
    const auto waitUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed < 0 || PQconsumeInput(m_conn) != 1) {
            m_answering = false;
            return Answers::Failed;
        }
        while (!PQisBusy(m_conn)) {
            pg_result* next = PQgetResult(m_conn);
            if (!next) {
                m_answering = false;
                return Answers::Done;
            }
            results.emplace_back(next);
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= m_answerBy) {
            m_answering = false;
            GiveUp();
            return Answers::Failed;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(std::min(m_answerBy, waitUntil) - now)
                              .count();
        if (left <= 0) return Answers::Waiting;
        pollfd ready{};
        ready.fd = static_cast<decltype(ready.fd)>(PQsocket(m_conn));
        ready.events = static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0));
        if (ready.fd < 0) {
            m_answering = false;
            return Answers::Failed;
        }
        poll(&ready, 1, static_cast<int>(left));
    }
}

bool PgConnection::StartPipeline() {
    if (!m_conn) return false;
    if (PQpipelineStatus(m_conn) != PQ_PIPELINE_OFF) return true;
    return PQenterPipelineMode(m_conn) == 1 && PQsetnonblocking(m_conn, 1) == 0;
}

bool PgConnection::EndPipeline() {
    if (!m_conn || PQpipelineStatus(m_conn) == PQ_PIPELINE_OFF) return true;
    // Refused by libpq while results are still due.
    return PQexitPipelineMode(m_conn) == 1;
}

bool PgConnection::InPipeline() const {
    return m_conn && PQpipelineStatus(m_conn) != PQ_PIPELINE_OFF;
}

bool PgConnection::Send(const std::string& sql, const std::vector<PgValue>& params) {
    const Params p(params);
    return PQsendQueryParams(m_conn, sql.c_str(), p.Count(), nullptr, p.values.data(), p.lengths.data(),
                             p.formats.data(), 0) == 1;
}

bool PgConnection::SendSync() {
    return PQpipelineSync(m_conn) == 1;
}

int PgConnection::SendOut() {
    return m_conn ? PQflush(m_conn) : -1;
}

bool PgConnection::Receive() {
    // Whatever is there, up to the connection's end when the database closed it.
    for (int reads = 0; m_conn && reads < 16; ++reads) {
        pollfd ready{};
        ready.fd = static_cast<decltype(ready.fd)>(PQsocket(m_conn));
        ready.events = POLLIN;
        if (ready.fd < 0 || poll(&ready, 1, 0) <= 0) break;
        if (PQconsumeInput(m_conn) != 1) return false;
    }
    return Good();
}

bool PgConnection::NextResult(PgResult& result) {
    if (!m_conn || PQisBusy(m_conn)) return false;
    result = PgResult(PQgetResult(m_conn));
    return true;
}

PgResult PgConnection::ExecScript(const std::string& sql) {
    if (!m_conn || InPipeline() || m_answering) return PgResult();
    return Await(PQsendQuery(m_conn, sql.c_str()) == 1);
}

bool PgConnection::Run(const std::string& sql, const std::vector<PgValue>& params) {
    return Exec(sql, params).Ok();
}

bool PgConnection::Good() const {
    return m_conn && PQstatus(m_conn) == CONNECTION_OK;
}

std::string PgConnection::Error() const {
    if (!m_conn) return m_error.empty() ? "the connection was closed" : m_error;
    std::string error = PQerrorMessage(m_conn);
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return error.empty() ? "the database did not answer" : error;
}

int PgConnection::Socket() const {
    return m_conn ? PQsocket(m_conn) : -1;
}

bool PgConnection::TakeNotifications(std::vector<std::string>& channels) {
    if (!m_conn || !PQconsumeInput(m_conn)) return false;
    while (PGnotify* notify = PQnotifies(m_conn)) {
        channels.emplace_back(notify->relname);
        PQfreemem(notify);
    }
    return Good();
}

}  // namespace tovi
