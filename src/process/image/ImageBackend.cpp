#include "image/ImageBackend.h"

#include <algorithm>
#include <cstring>

#include "GameAddresses.h"

namespace tovi::image {

FakeProcess& ImageBackend::AddProcess(FakeProcess process) {
    m_processes.push_back(std::make_unique<FakeProcess>(std::move(process)));
    return *m_processes.back();
}

FakeProcess& ImageBackend::AddServer(int32_t pid, GameImage& image, std::string version) {
    FakeProcess process;
    process.pid = pid;
    process.path = "C:\\Games\\Joint Operations\\jointops.exe";
    process.image = &image;
    process.window = 0x10000 + pid;
    process.caption = std::string(game::kCaptionPrefix) + version;
    image.Initialise(version);
    return AddProcess(std::move(process));
}

void ImageBackend::RemoveProcess(int32_t pid) {
    std::erase_if(m_processes, [pid](const auto& p) { return p->pid == pid; });
}

FakeProcess* ImageBackend::Find(int32_t pid) {
    for (auto& p : m_processes) {
        if (p->pid == pid) return p.get();
    }
    return nullptr;
}

bool ImageBackend::Failed(AccessFailure failure) {
    m_failure = failure;
    return false;
}

FakeProcess* ImageBackend::FindOpenable(int32_t pid) {
    FakeProcess* p = Find(pid);
    if (!p) {
        Failed(AccessFailure::NoSuchProcess);
        return nullptr;
    }
    if (!p->accessible) {
        Failed(AccessFailure::PermissionDenied);
        return nullptr;
    }
    return p;
}

FakeProcess* ImageBackend::FindWindow(int32_t window) {
    for (auto& p : m_processes) {
        if (window != 0 && p->window == window) return p.get();
    }
    Failed(AccessFailure::NoWindow);
    return nullptr;
}

std::vector<int32_t> ImageBackend::ListProcessIds() {
    m_failure = AccessFailure::None;
    ++calls;
    std::vector<int32_t> ids;
    for (auto& p : m_processes) ids.push_back(p->pid);
    return ids;
}

std::optional<std::string> ImageBackend::FirstModulePath(int32_t pid) {
    m_failure = AccessFailure::None;
    ++calls;
    FakeProcess* p = FindOpenable(pid);
    if (!p) return std::nullopt;
    return p->path;
}

bool ImageBackend::CanOpen(int32_t pid) {
    m_failure = AccessFailure::None;
    ++calls;
    return FindOpenable(pid) != nullptr;
}

bool ImageBackend::Read(int32_t pid, uint32_t address, std::span<uint8_t> out) {
    m_failure = AccessFailure::None;
    ++calls;
    FakeProcess* p = FindOpenable(pid);
    if (!p) return false;
    CountTransfers();
    if (!p->image || !p->image->Contains(address, out.size())) return Failed(AccessFailure::BadAddress);
    auto bytes = p->image->Bytes(address, out.size());
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return true;
}

bool ImageBackend::Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) {
    m_failure = AccessFailure::None;
    ++calls;
    FakeProcess* p = FindOpenable(pid);
    if (!p) return false;
    if (!p->image || !p->image->Contains(address, data.size())) return Failed(AccessFailure::BadAddress);
    auto bytes = p->image->Bytes(address, data.size());
    std::copy(data.begin(), data.end(), bytes.begin());
    return true;
}

std::vector<int32_t> ImageBackend::TopLevelWindows() {
    m_failure = AccessFailure::None;
    ++calls;
    std::vector<int32_t> windows;
    for (auto& p : m_processes) {
        if (p->window != 0) windows.push_back(p->window);
    }
    return windows;
}

int32_t ImageBackend::FindWindowByCaption(const std::string& caption) {
    m_failure = AccessFailure::None;
    ++calls;
    for (auto& p : m_processes) {
        if (p->window != 0 && p->caption == caption) return p->window;
    }
    Failed(AccessFailure::NoWindow);
    return 0;
}

int32_t ImageBackend::WindowProcess(int32_t window) {
    m_failure = AccessFailure::None;
    ++calls;
    FakeProcess* p = FindWindow(window);
    return p ? p->pid : 0;
}

std::string ImageBackend::WindowCaption(int32_t window) {
    m_failure = AccessFailure::None;
    ++calls;
    FakeProcess* p = FindWindow(window);
    return p ? p->caption : std::string();
}

bool ImageBackend::SetWindowVisible(int32_t window, bool visible) {
    m_failure = AccessFailure::None;
    ++calls;
    FakeProcess* p = FindWindow(window);
    if (!p) return false;
    p->visible = visible;
    return true;
}

bool ImageBackend::PostKeystroke(int32_t window, GameKeystroke key) {
    m_failure = AccessFailure::None;
    ++calls;
    FakeProcess* p = FindWindow(window);
    if (!p) return false;
    if (p->image) p->image->PressKey(key);
    return true;
}

}  // namespace tovi::image
