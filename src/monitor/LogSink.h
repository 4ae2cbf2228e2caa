#pragma once
// Where the program's routine events go: the activity log box txtLog and the hidden debug box
// txtDebugLog, each line time-stamped and the box kept short (AddLine, limit 5).
#include <string>

namespace tovi {

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Log(const std::string& message) = 0;       // txtLog
    virtual void DebugLog(const std::string& message) = 0;  // txtDebugLog
};

}  // namespace tovi
