#pragma once
// What every engine of the record says of its writes: once when they start to fail, and once when
// they work again, with the entries lost meanwhile.
#include <cstdint>
#include <functional>
#include <string>

namespace tovi {

// `failing` and `dropped` are the engine's own; `failed` is the line said when writing starts to fail.
inline void ReportWrites(const std::function<void(const std::string&)>& log, bool& failing, uint64_t& dropped,
                         bool now, const std::string& failed) {
    if (now && !failing) {
        failing = true;
        if (log) log(failed);
    } else if (!now && failing) {
        failing = false;
        if (log) {
            std::string line = "History is written again";
            if (dropped > 0)
                line += "; " + std::to_string(dropped) + " entries were lost while it could not be";
            log(line);
        }
        dropped = 0;
    }
}

}  // namespace tovi
