#pragma once
// Where Joint Operations: Typhoon Rising 1.5.1.5 keeps what this program reads and writes.
// Every address is absolute in the game server's process; words are little-endian.
#include <cstdint>
#include <string_view>

namespace tovi::game {

inline constexpr std::string_view kExecutableName = "jointops.exe";
inline constexpr std::string_view kCaptionPrefix = "Joint Operations: Typhoon Rising,  ";
inline constexpr std::string_view kSupportedVersion = "V1.5.1.5";
inline constexpr std::string_view kDefaultCaption = "Joint Operations: Typhoon Rising,  V1.5.1.5";

// Identity of the server build.
inline constexpr uint32_t kVersionText = 0xB9AC48;   // 10 bytes
inline constexpr uint32_t kExpansionText = 0xB9B11C; // 10 bytes
inline constexpr int kVersionLength = 10;

// Match state: 1 loading, 2 waiting for players, 3 hosting, 4 scoring, anything else idle.
inline constexpr uint32_t kGameState = 0x1221530;

// Server-wide values.
inline constexpr uint32_t kDedicated = 0xD142BC;      // 1 byte, not 0 = dedicated
inline constexpr uint32_t kMaxPlayers = 0xD142B0;     // 1 byte
inline constexpr uint32_t kServerName = 0xD14265;     // 28 bytes
inline constexpr uint32_t kCountryCode = 0xD14285;    // 2 bytes
inline constexpr uint32_t kServerMessage = 0xD1440C;  // 170 bytes
inline constexpr uint32_t kGameType = 0x2F7E6E8;      // 1 byte
inline constexpr uint32_t kPlayerCount = 0x11BED3C;   // 1 byte
inline constexpr uint32_t kMapName = 0xAF0EEC;        // 35 bytes
inline constexpr uint32_t kMapFile = 0x2F7516C;       // 30 bytes
inline constexpr uint32_t kHostPlayer = 0x2F750C0;    // 54 bytes
inline constexpr uint32_t kResultByte = 0xAF58AC;     // 1 byte, handed to the stats file
inline constexpr int kServerNameLength = 28;
inline constexpr int kCountryCodeLength = 2;
inline constexpr int kServerMessageLength = 170;
inline constexpr int kMapNameLength = 35;
inline constexpr int kMapFileLength = 30;
inline constexpr int kHostPlayerLength = 54;

// Time, in 1/62 s.
inline constexpr uint32_t kMatchClock = 0xBE65F4;         // signed 32-bit
inline constexpr uint32_t kScoringTime = 0x12279E8;       // signed 32-bit
inline constexpr int32_t kTicksPerSecond = 62;
inline constexpr int32_t kDefaultScoringTime = 45 * kTicksPerSecond;

// Latest chat line.
inline constexpr uint32_t kChatLine = 0x11B78F4;  // 123 bytes
inline constexpr int kChatLineLength = 123;

// Console: the input line and the byte that is 1 while the console waits for a line.
inline constexpr uint32_t kConsoleLine = 0xB9459C;
inline constexpr uint32_t kConsoleOpenFlag = 0xB946C8;
inline constexpr int kConsoleLineCapacity = static_cast<int>(kConsoleOpenFlag - kConsoleLine);  // 300, zero byte included

// Player slots: a pointer to slot 0, then one record per slot.
inline constexpr uint32_t kSlotTablePointer = 0x2F74D08;
inline constexpr uint32_t kSlotStride = 0x1DBD0;
namespace slot {
inline constexpr uint32_t kNumber = 0x0014;  // 1 byte
inline constexpr uint32_t kName = 0x0028;    // 54 bytes
inline constexpr int kNameLength = 54;
inline constexpr uint32_t kShotsFired = 0x0148;
inline constexpr uint32_t kMurders = 0x0150;
inline constexpr uint32_t kKills = 0x0154;
inline constexpr uint32_t kSuicides = 0x0158;
inline constexpr uint32_t kDeaths = 0x015C;
inline constexpr uint32_t kTargets = 0x0178;
inline constexpr uint32_t kPspTakes = 0x0180;
inline constexpr uint32_t kHeadShots = 0x0188;
inline constexpr uint32_t kKnifes = 0x018C;
inline constexpr uint32_t kZoneAttackKills = 0x0198;
inline constexpr uint32_t kZoneDefendKills = 0x019C;
inline constexpr uint32_t kExpPoints = 0x01B4;
inline constexpr uint32_t kSecondsInZone = 0x01BC;
inline constexpr uint32_t kTeam = 0x0274;  // 1 byte
inline constexpr uint32_t kPing = 0x1C398;
}  // namespace slot

}  // namespace tovi::game
