#include "MatchState.h"

namespace tovi {

std::string StateText(uint8_t state) {
    switch (state) {
    case kStateLoading: return "Loading mission";
    case kStateWaiting: return "Waiting for players";
    case kStateHosting: return "Hosting mission";
    case kStateScoring: return "Scoring mission";
    default: return "Not hosting";
    }
}

}  // namespace tovi
