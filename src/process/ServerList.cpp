#include "ServerList.h"

#include <charconv>

#include "GameAddresses.h"

namespace tovi {

std::vector<ServerRow> ListGameServers(MemoryClass& shared, ProcessBackend& backend) {
    std::vector<std::string> entries;
    shared.ListProcesses(entries, std::string(game::kExecutableName));
    std::vector<ServerRow> rows;
    for (const std::string& entry : entries) {
        const auto first = entry.find('|');
        if (first == std::string::npos) continue;
        ServerRow row;
        row.ProcID = entry.substr(0, first);
        row.Path = entry.substr(entry.rfind('|') + 1);
        int32_t pid = 0;
        std::from_chars(row.ProcID.data(), row.ProcID.data() + row.ProcID.size(), pid);
        MemoryClass look(backend);
        // A process that can't be attached reads as "", so its row shows no version.
        look.SetProcID(pid);
        row.Version = CutAtNull(look.ReadMemory(game::kVersionText, game::kVersionLength));
        row.Expansion = CutAtNull(look.ReadMemory(game::kExpansionText, game::kVersionLength));
        rows.push_back(std::move(row));
    }
    return rows;
}

TrackOutcome TrackServer(MemoryClass& shared, const ServerRow& row) {
    if (row.Version != game::kSupportedVersion) return TrackOutcome::WrongVersion;
    int32_t pid = 0;
    const auto [end, ec] = std::from_chars(row.ProcID.data(), row.ProcID.data() + row.ProcID.size(), pid);
    if (ec != std::errc() || end != row.ProcID.data() + row.ProcID.size()) return TrackOutcome::AttachFailed;
    return shared.SetProcID(pid) ? TrackOutcome::Tracked : TrackOutcome::AttachFailed;
}

std::string TrackedMessage(MemoryClass& shared) {
    return "Stats of process " + std::to_string(shared.GetProcID()) + " (" + shared.GetWinCaption(shared.GetProcHwnd()) +
           ") are now being tracked";
}

}  // namespace tovi
