#pragma once
// One player of the current match: the current stint's values as the game reports them (P_) and
// the sum of the player's earlier stints in this match (B_). A match total is P_ + B_.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovi {

struct PlayerClass {
    std::string P_Name;        // the key in PlayerTable
    bool P_IsPlaying = false;  // found by the latest ReadPlayers
    uint8_t P_Team = 0;
    int32_t P_SdAdFriendlyZoneDefendKills = 0;  // the game keeps no such counter: always 0
    int32_t P_SdAdFriendlyZonePolicingKills = 0;
    int32_t P_SdAdEnemyZoneAttackKills = 0;
    int32_t P_SdAdEnemyZoneSecuringKills = 0;
    int32_t P_Ping = 0;
    int32_t P_Murders = 0;
    int32_t P_Kills = 0;
    int32_t P_Deaths = 0;
    int32_t P_SecondsInZone = 0;
    int32_t P_Targets = 0;
    int32_t P_Suicides = 0;
    int32_t P_ShotsFired = 0;
    int32_t P_MedicSaves = 0;    // always 0
    int32_t P_MedicRevives = 0;  // always 0
    int32_t P_PspAttempt = 0;    // always 0
    int32_t P_PspTakes = 0;
    int32_t P_HeadShots = 0;
    int32_t P_Knifes = 0;
    int32_t P_SniperKills = 0;  // always 0
    int32_t P_ZoneAttackKills = 0;
    int32_t P_ZoneDefendKills = 0;
    int32_t P_ExpPoints = 0;
    int32_t P_Assists = 0;     // always 0
    int32_t P_TimePlayed = 0;  // seconds of this stint, counted by ReadPlayers, not read

    int32_t B_SdAdFriendlyZoneDefendKills = 0;
    int32_t B_SdAdFriendlyZonePolicingKills = 0;
    int32_t B_SdAdEnemyZoneAttackKills = 0;
    int32_t B_SdAdEnemyZoneSecuringKills = 0;
    int32_t B_Murders = 0;
    int32_t B_Kills = 0;
    int32_t B_Deaths = 0;
    int32_t B_SecondsInZone = 0;
    int32_t B_Targets = 0;
    int32_t B_Suicides = 0;
    int32_t B_ShotsFired = 0;
    int32_t B_MedicSaves = 0;
    int32_t B_MedicRevives = 0;
    int32_t B_PspAttempt = 0;
    int32_t B_PspTakes = 0;
    int32_t B_HeadShots = 0;
    int32_t B_Knifes = 0;
    int32_t B_SniperKills = 0;
    int32_t B_ZoneAttackKills = 0;
    int32_t B_ZoneDefendKills = 0;
    int32_t B_ExpPoints = 0;
    int32_t B_Assists = 0;
    int32_t B_TimePlayed = 0;
};

// A counted statistic: its name and its two fields.
struct Statistic {
    std::string_view Name;
    int32_t PlayerClass::*P;
    int32_t PlayerClass::*B;
};

// The statistic list. Its order is the order of the totals in a stats file's player line.
inline constexpr std::array<Statistic, 23> kStatisticList = {{
    {"SdAdFriendlyZoneDefendKills", &PlayerClass::P_SdAdFriendlyZoneDefendKills,
     &PlayerClass::B_SdAdFriendlyZoneDefendKills},
    {"SdAdFriendlyZonePolicingKills", &PlayerClass::P_SdAdFriendlyZonePolicingKills,
     &PlayerClass::B_SdAdFriendlyZonePolicingKills},
    {"SdAdEnemyZoneAttackKills", &PlayerClass::P_SdAdEnemyZoneAttackKills,
     &PlayerClass::B_SdAdEnemyZoneAttackKills},
    {"SdAdEnemyZoneSecuringKills", &PlayerClass::P_SdAdEnemyZoneSecuringKills,
     &PlayerClass::B_SdAdEnemyZoneSecuringKills},
    {"Murders", &PlayerClass::P_Murders, &PlayerClass::B_Murders},
    {"Kills", &PlayerClass::P_Kills, &PlayerClass::B_Kills},
    {"Deaths", &PlayerClass::P_Deaths, &PlayerClass::B_Deaths},
    {"SecondsInZone", &PlayerClass::P_SecondsInZone, &PlayerClass::B_SecondsInZone},
    {"Targets", &PlayerClass::P_Targets, &PlayerClass::B_Targets},
    {"Suicides", &PlayerClass::P_Suicides, &PlayerClass::B_Suicides},
    {"ShotsFired", &PlayerClass::P_ShotsFired, &PlayerClass::B_ShotsFired},
    {"MedicSaves", &PlayerClass::P_MedicSaves, &PlayerClass::B_MedicSaves},
    {"MedicRevives", &PlayerClass::P_MedicRevives, &PlayerClass::B_MedicRevives},
    {"PspAttempt", &PlayerClass::P_PspAttempt, &PlayerClass::B_PspAttempt},
    {"PspTakes", &PlayerClass::P_PspTakes, &PlayerClass::B_PspTakes},
    {"HeadShots", &PlayerClass::P_HeadShots, &PlayerClass::B_HeadShots},
    {"Knifes", &PlayerClass::P_Knifes, &PlayerClass::B_Knifes},
    {"SniperKills", &PlayerClass::P_SniperKills, &PlayerClass::B_SniperKills},
    {"ZoneAttackKills", &PlayerClass::P_ZoneAttackKills, &PlayerClass::B_ZoneAttackKills},
    {"ZoneDefendKills", &PlayerClass::P_ZoneDefendKills, &PlayerClass::B_ZoneDefendKills},
    {"ExpPoints", &PlayerClass::P_ExpPoints, &PlayerClass::B_ExpPoints},
    {"Assists", &PlayerClass::P_Assists, &PlayerClass::B_Assists},
    {"TimePlayed", &PlayerClass::P_TimePlayed, &PlayerClass::B_TimePlayed},
}};

// A player name fit for one line of a CR LF separated list or file: every byte below 32 (CR and
// LF among them) written as a blank, so that a name can never split or join lines.
inline std::string LineSafeName(std::string_view name) {
    std::string line(name);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    }
    return line;
}

}  // namespace tovi
