#include "PlayerTable.h"

#include <algorithm>
#include <utility>

namespace tovi {

const PlayerClass* PlayerTable::Find(std::string_view name) const {
    const auto found =
        std::ranges::find_if(m_records, [&](const PlayerClass& r) { return r.P_Name == name; });
    return found == m_records.end() ? nullptr : &*found;
}

PlayerClass* PlayerTable::Find(std::string_view name) {
    return const_cast<PlayerClass*>(std::as_const(*this).Find(name));
}

void PlayerTable::Replace(PlayerClass record) {
    std::erase_if(m_records, [&](const PlayerClass& r) { return r.P_Name == record.P_Name; });
    m_records.push_back(std::move(record));
}

}  // namespace tovi
