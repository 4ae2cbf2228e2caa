#pragma once
// The running game servers of this machine, and the choice of the one to watch.
#include <string>
#include <vector>

#include "MemoryClass.h"

namespace tovi {

// One row of the server list: the process id, its executable's path, and the version and
// expansion texts read from its memory ("" when it could not be attached).
struct ServerRow {
    std::string ProcID;
    std::string Path;
    std::string Version;
    std::string Expansion;
};

// Lists the "jointops.exe" processes through `shared` and examines each through an accessor of
// its own, so that the process `shared` tracks is never disturbed.
std::vector<ServerRow> ListGameServers(MemoryClass& shared, ProcessBackend& backend);

enum class TrackOutcome { Tracked, WrongVersion, AttachFailed };

// Tracks the row's process with `shared` when it runs the supported version; a row of any other
// version leaves the tracked process as it was.
TrackOutcome TrackServer(MemoryClass& shared, const ServerRow& row);

// "Stats of process N (caption) are now being tracked", for the process `shared` tracks.
std::string TrackedMessage(MemoryClass& shared);

}  // namespace tovi
