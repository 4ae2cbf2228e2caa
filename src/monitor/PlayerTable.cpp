#include "PlayerTable.h"

#include <algorithm>
#include <utility>

namespace tovi {

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

}  // namespace

bool SamePlayerKey(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

const PlayerClass* PlayerTable::Find(std::string_view name) const {
    const auto found =
        std::ranges::find_if(m_records, [&](const PlayerClass& r) { return SamePlayerKey(r.P_Name, name); });
    return found == m_records.end() ? nullptr : &*found;
}

PlayerClass* PlayerTable::Find(std::string_view name) {
    return const_cast<PlayerClass*>(std::as_const(*this).Find(name));
}

void PlayerTable::Replace(PlayerClass record) {
    std::erase_if(m_records, [&](const PlayerClass& r) { return SamePlayerKey(r.P_Name, record.P_Name); });
    m_records.push_back(std::move(record));
}

}  // namespace tovi
