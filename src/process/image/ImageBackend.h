#pragma once
// A process backend over in-process game images: each fake process has an id, an executable
// path, optionally a window and a memory image. Unit tests of the core attach to these exactly
// as the program attaches to a real server, and read back what the program wrote or typed.
#include <map>
#include <memory>
#include <string>

#include "ProcessBackend.h"
#include "image/GameImage.h"

namespace tovi::image {

struct FakeProcess {
    int32_t pid = 0;
    std::string path;
    GameImage* image = nullptr;  // no memory when null: every read and write fails
    int32_t window = 0;          // 0: the process has no top-level window
    std::string caption;
    bool visible = true;
    bool accessible = true;      // false: opening it is refused
};

class ImageBackend : public ProcessBackend {
public:
    // Adds a process; processes and windows are listed in the order they were added,
    // the first added window being the topmost.
    FakeProcess& AddProcess(FakeProcess process);
    // Adds a game server: a process running "jointops.exe" with the game's window.
    FakeProcess& AddServer(int32_t pid, GameImage& image, std::string version = "V1.5.1.5");
    void RemoveProcess(int32_t pid);
    FakeProcess* Find(int32_t pid);

    // How many calls reached the backend, to check what a caller did not ask for.
    int calls = 0;

    std::vector<int32_t> ListProcessIds() override;
    std::optional<std::string> FirstModulePath(int32_t pid) override;
    bool CanOpen(int32_t pid) override;
    bool Read(int32_t pid, uint32_t address, std::span<uint8_t> out) override;
    bool Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) override;
    std::vector<int32_t> TopLevelWindows() override;
    int32_t FindWindowByCaption(const std::string& caption) override;
    int32_t WindowProcess(int32_t window) override;
    std::string WindowCaption(int32_t window) override;
    bool SetWindowVisible(int32_t window, bool visible) override;
    bool PostKeystroke(int32_t window, GameKeystroke key) override;
    AccessFailure LastFailure() const override { return m_failure; }

private:
    FakeProcess* FindOpenable(int32_t pid);
    FakeProcess* FindWindow(int32_t window);
    bool Failed(AccessFailure failure);

    std::vector<std::unique_ptr<FakeProcess>> m_processes;
    AccessFailure m_failure = AccessFailure::None;
};

}  // namespace tovi::image
