#pragma once
// The game's match state byte and the words the window shows for it.
#include <cstdint>
#include <string>

namespace tovi {

inline constexpr uint8_t kStateLoading = 1;
inline constexpr uint8_t kStateWaiting = 2;
inline constexpr uint8_t kStateHosting = 3;
inline constexpr uint8_t kStateScoring = 4;

inline constexpr const char* kGameNotRunning = "Game not running";

// "Loading mission", "Waiting for players", "Hosting mission", "Scoring mission" or "Not hosting".
std::string StateText(uint8_t state);

// States 1 to 4: the server hosts a map.
inline bool IsHostingState(uint8_t state) { return state >= kStateLoading && state <= kStateScoring; }

}  // namespace tovi
