#pragma once
// The records of the players of the current match, in insertion order, each under the key of its
// P_Name. Keys are the names as the game shows them, letter case included: Bob and BOB playing at
// the same time are two players, each with their own counters, and a stint carries over only to
// the same name. A record is replaced by removing it and appending the new one at the end, so
// after a player read the players not found come first and the players found follow in slot
// order; the stats file keeps that order. Records are never removed one by one: the whole table
// goes when a new map begins.
#include <cstddef>
#include <string_view>
#include <vector>

#include "PlayerClass.h"

namespace tovi {

class PlayerTable {
public:
    using const_iterator = std::vector<PlayerClass>::const_iterator;
    using iterator = std::vector<PlayerClass>::iterator;

    // The record under the key `name`, or null.
    const PlayerClass* Find(std::string_view name) const;
    PlayerClass* Find(std::string_view name);
    // Removes the record under the key of record.P_Name, when there is one, and appends `record`.
    void Replace(PlayerClass record);
    void Clear() { m_records.clear(); }

    size_t size() const { return m_records.size(); }
    bool empty() const { return m_records.empty(); }
    // In table order. A record's P_Name is its key: changing it through these changes the key.
    const_iterator begin() const { return m_records.begin(); }
    const_iterator end() const { return m_records.end(); }
    iterator begin() { return m_records.begin(); }
    iterator end() { return m_records.end(); }

private:
    std::vector<PlayerClass> m_records;
};

}  // namespace tovi
