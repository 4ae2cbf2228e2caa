#pragma once
// The record's reads and upkeep (search, a player's record, the export's pieces, forgetting old
// rows, the size, the players chart, the servers of a shared store), written once for both
// engines. An engine gives a connection that runs a statement and walks its rows, and says the
// few things its SQL says otherwise: how a text is found in a column, how chat words are matched,
// whether rows carry a server's code, how large the record is. Statements are written with `?`
// for each value, in the order the values are given; values only ever travel as parameters.
#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "HistoryStore.h"

namespace tovi {

struct SqlBytes {
    std::string Bytes;
};
// A statement's value: NULL, a number, a UTF-8 text or bytes.
using SqlValue = std::variant<std::nullptr_t, int64_t, std::string, SqlBytes>;
using SqlValues = std::vector<SqlValue>;

// One row of an answer, its columns counted from 0.
class SqlRow {
public:
    virtual bool IsNull(int column) const = 0;
    virtual int64_t Int(int column) const = 0;       // 0 for NULL
    virtual std::string Text(int column) const = 0;   // as kept: UTF-8
    virtual std::string Bytes(int column) const = 0;  // kept as bytes: the game's own
    // A text as the game writes it (Windows-1252).
    std::string Text1252(int column) const;

protected:
    ~SqlRow() = default;
};

// Conditions joined by AND, with their values in order.
struct SqlWhere {
    std::string Sql;
    SqlValues Values;
    void Add(const std::string& condition, std::initializer_list<SqlValue> values = {});
    std::string Clause() const { return Sql.empty() ? std::string() : " WHERE " + Sql; }
};

class HistoryReads : public HistoryStore {
public:
    std::vector<HistoryRow> Search(const HistoryQuery& query) override;
    bool ReadOldestFirst(HistoryKind kind, int64_t from, int64_t& after, int piece, std::vector<HistoryRow>& rows,
                         std::string& error) override;
    PlayerHistory PlayerRecord(const std::string& name) override;
    int ForgetBefore(int64_t time, int maxRows) override;
    HistorySize Size() override;
    PlayerActivity Activity(int64_t from, const std::string& server = {}) override;
    std::vector<std::string> Servers() override;
    std::string ServerName(const std::string& server) override;
    std::string ReadError() const override { return m_readError; }

protected:
    // `holds`: the function that finds a text in another ("instr", "strpos"); `statsKey`: the key
    // player statistics are kept in order by.
    HistoryReads(const char* holds, const char* statsKey) : m_holds(holds), m_statsKey(statsKey) {}

    using EachRow = std::function<void(const SqlRow&)>;
    // Runs one statement; each row of its answer to `row`, and the rows it changed to `changed`.
    // False when it failed, with m_queryError saying why.
    virtual bool Query(const std::string& sql, const SqlValues& values, const EachRow& row = {},
                       int64_t* changed = nullptr) = 0;

    enum class Purpose { Read, Chart, Upkeep };
    // Whether the connection may be read now: for the operator (what waits is written first), for
    // the chart (never waits) or for the upkeep (a transaction is then begun, and EndUpkeep ends it).
    virtual bool ReadyFor(Purpose purpose, std::string& why) = 0;
    virtual bool EndUpkeep(bool commit) = 0;
    // The code whose rows to read for `asked` (empty: this server's); empty in a store of one server.
    virtual std::string ServerCode(const std::string& /*asked*/) const { return {}; }
    // Names kept folded, times indexed and rows counted.
    bool Keyed() const { return m_schema >= kKeyedSchema; }
    // SQL true when `column` holds the value given (a folded UTF-8 text).
    std::string Holds(const std::string& column) const { return m_holds + ("(" + column + ", ?) > 0"); }
    // SQL true when any of `columns` holds `folded1252` (letters small), letter case ignored; its
    // values to `values`. `foldedColumn`, when the engine keeps such, holds those columns folded.
    virtual std::string AnyHolds(std::initializer_list<const char*> columns, const std::string& foldedColumn,
                                 const std::string& folded1252, SqlValues& values) const = 0;
    // The chat search: what the window, the server and the sender already ask (`where`, on chat
    // as `c`, whose senders `Names` are when few), with the words typed, as a whole statement whose
    // last value is the limit (added after it). It may add conditions and values to `Where`.
    struct ChatPlan {
        const HistoryQuery& Query;
        SqlWhere& Where;
        const std::vector<std::string>& Names;  // empty: no sender asked, or too many to name
        bool ByName = false;                     // a sender was asked
        int64_t Lo = 0, Hi = INT64_MAX;          // the window's keys, when a window was asked
        std::string Columns;                     // "SELECT ..." of the row
    };
    virtual std::string ChatSql(const ChatPlan& plan) = 0;
    // The database's size on the disk.
    virtual int64_t Bytes() = 0;

    // The folded names in `column` of `table` that hold `part` (folded UTF-8).
    bool KeysHolding(const char* table, const char* column, const std::string& code, const std::string& part,
                     std::vector<std::string>& keys);
    // "<alias>server = ?" with the code, or nothing in a store of one server.
    static void OfServer(SqlWhere& where, const std::string& code, const char* alias = "");

    // Both engines number their schemas alike: from this one names are kept folded, times indexed
    // and rows counted.
    static constexpr int kKeyedSchema = 11;
    // From this one a line sent keeps when it was seen read back.
    static constexpr int kSeenSchema = 12;
    int m_schema = 0;      // the record's schema
    int64_t m_matchId = 0;  // the match under way, 0 before the first
    bool m_matchUnderWay = false;  // m_matchId has not ended yet
    std::string m_readError;
    std::string m_queryError;

private:
    const char* m_holds;
    const char* m_statsKey;

    bool IdBounds(const char* table, const std::string& code, int64_t from, int64_t to, int64_t& lo, int64_t& hi);
};

}  // namespace tovi
