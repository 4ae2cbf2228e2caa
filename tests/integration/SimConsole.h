#pragma once
// What the administration tests read back from a running simulator: the name in a slot, and the
// console's outcomes from its transcript.
#include <fstream>
#include <initializer_list>
#include <string>

#include "../unit/Fakes.h"
#include "GameAddresses.h"
#include "MemoryClass.h"

namespace tovi::testing {

inline std::string PlayerIn(MemoryClass& memory, int slot) {
    const auto first = static_cast<uint32_t>(memory.ReadDWord(game::kSlotTablePointer));
    const uint32_t address = first + static_cast<uint32_t>(slot) * game::kSlotStride + game::slot::kName;
    return CutAtNull(memory.ReadMemory(address, static_cast<int16_t>(game::slot::kNameLength)));
}

// The transcript's lines that begin with one of `kinds`, in order, without their times.
inline Strings TranscriptOutcomes(const fs::path& transcript, std::initializer_list<const char*> kinds) {
    Strings outcomes;
    std::ifstream file(transcript);
    std::string line;
    while (std::getline(file, line)) {
        const std::string action = line.substr(line.find(' ') + 1);
        for (const char* kind : kinds) {
            if (action.rfind(kind, 0) == 0) outcomes.push_back(action);
        }
    }
    return outcomes;
}

}  // namespace tovi::testing
