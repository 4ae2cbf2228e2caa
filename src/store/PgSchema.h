#pragma once
// The record's schema in a shared PostgreSQL database: the same tables as the embedded file, each
// history row carrying the code of the game server that wrote it, so that several servers keep
// their rows side by side; the ban list and the accounts are the community's, one for all.
// The version sits in tovi_schema and is brought forward at opening, under a lock so that two
// programs starting together do not both migrate.
#include <string>

namespace tovi {

class PgConnection;

namespace pgschema {

inline constexpr int kSchemaVersion = 12;
// From this version batch keys carry their time and old ones are pruned (store_batch_marks).
inline constexpr int kBatchMarksVersion = 9;
// The first schema with the servers' leases.
inline constexpr int kLeaseSchema = 10;
// The first schema with folded names on chat and admin actions, time indexes and row counts.
inline constexpr int kKeyedSchema = 11;
// The first schema with the chat words' text search index and the read-back of the program's chat.
inline constexpr int kWordsSchema = 12;
// A chat line's words (chat as `c`) as the index keeps them: each word a lexeme as it is, none
// parsed or stemmed, so that a query finds what the words column holds.
inline constexpr const char* kChatWords = "array_to_tsvector(string_to_array(btrim(c.words), ' '))";
// The channel a ban list change is announced on.
inline constexpr const char* kBansChannel = "tovi_bans";
// The channel an account change is announced on by the program that made it, so that every
// running copy reads the accounts again at once (they read them every few seconds anyway).
inline constexpr const char* kAccountsChannel = "tovi_accounts";

// Brings the database to `version` (never down). False with `error` when it cannot, or when it is
// of a newer version than this program knows (`newer`, when given, says so).
bool Migrate(PgConnection& conn, int version, std::string& error, bool* newer = nullptr);
// The version the database holds; 0 for none, -1 with `error` when it cannot be read.
int Version(PgConnection& conn, std::string& error);
// What is said of a database of schema `version`, newer than this program knows.
std::string NewerText(int version);
// Whether the database's schema is one this program knows; else false with `error` (NewerText,
// or why it cannot be read). A part that writes to it checks first: a newer program may have
// changed what its tables mean.
bool Known(PgConnection& conn, std::string& error);

}  // namespace pgschema
}  // namespace tovi
