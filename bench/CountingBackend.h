#pragma once
// A process backend that passes every call on and counts it: memory transfers, process look-ups
// and window calls apart. Calls that come back through it (the no-display rule's look-ups, the
// interface's own one Read per range) count too; the time is taken only around the outermost
// call, split between memory transfers and everything else (the attach).
//
// Built `batched = false`, it hides the backend's batched and tracked calls, leaving the
// interface's defaults in their place: one Read per range, and MemoryClass's own walk of the
// windows, as with a backend without them.
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ProcessBackend.h"

namespace tovi::bench {

class CountingBackend : public ProcessBackend {
public:
    explicit CountingBackend(ProcessBackend& inner, bool batched = true) : m_inner(inner), m_batched(batched) {}
    void Reset() {
        memory = processes = windows = 0;
        memoryTime = attachTime = {};
    }
    int64_t Calls() const { return memory + processes + windows; }
    uint64_t InnerTransfers() const { return m_inner.Transfers(); }

    int64_t memory = 0;
    int64_t processes = 0;
    int64_t windows = 0;
    std::chrono::nanoseconds memoryTime{0};
    std::chrono::nanoseconds attachTime{0};

    // Defined before the calls that use it, which deduce its return type.
    template <typename Call>
    auto Pass(int64_t& count, std::chrono::nanoseconds& time, Call call) {
        ++count;
        if (m_depth++ > 0) {
            auto result = call();
            --m_depth;
            return result;
        }
        const auto start = std::chrono::steady_clock::now();
        auto result = call();
        time += std::chrono::steady_clock::now() - start;
        --m_depth;
        return result;
    }

    std::vector<int32_t> ListProcessIds() override {
        return Pass(processes, attachTime, [&] { return m_inner.ListProcessIds(); });
    }
    std::optional<std::string> FirstModulePath(int32_t pid) override {
        return Pass(processes, attachTime, [&] { return m_inner.FirstModulePath(pid); });
    }
    bool CanOpen(int32_t pid) override {
        return Pass(processes, attachTime, [&] { return m_inner.CanOpen(pid); });
    }
    bool Read(int32_t pid, uint32_t address, std::span<uint8_t> out) override {
        return Pass(memory, memoryTime, [&] { return m_inner.Read(pid, address, out); });
    }
    bool Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) override {
        return Pass(memory, memoryTime, [&] { return m_inner.Write(pid, address, data); });
    }
    AccessFailure ReadRanges(int32_t pid, std::span<ReadRange> ranges) override {
        if (!m_batched) return ProcessBackend::ReadRanges(pid, ranges);
        return Pass(memory, memoryTime, [&] { return m_inner.ReadRanges(pid, ranges); });
    }
    std::optional<int32_t> KnownProcessWindow(int32_t pid) override {
        if (!m_batched) return std::nullopt;
        return Pass(windows, attachTime, [&] { return m_inner.KnownProcessWindow(pid); });
    }
    std::optional<OwnedWindow> KnownWindowByCaption(const std::string& caption) override {
        if (!m_batched) return std::nullopt;
        return Pass(windows, attachTime, [&] { return m_inner.KnownWindowByCaption(caption); });
    }
    std::vector<int32_t> TopLevelWindows() override {
        return Pass(windows, attachTime, [&] { return m_inner.TopLevelWindows(); });
    }
    int32_t FindWindowByCaption(const std::string& caption) override {
        return Pass(windows, attachTime, [&] { return m_inner.FindWindowByCaption(caption); });
    }
    int32_t WindowProcess(int32_t window) override {
        return Pass(windows, attachTime, [&] { return m_inner.WindowProcess(window); });
    }
    std::string WindowCaption(int32_t window) override {
        return Pass(windows, attachTime, [&] { return m_inner.WindowCaption(window); });
    }
    bool SetWindowVisible(int32_t window, bool visible) override {
        return Pass(windows, attachTime, [&] { return m_inner.SetWindowVisible(window, visible); });
    }
    bool PostKeystroke(int32_t window, GameKeystroke key) override {
        return Pass(windows, attachTime, [&] { return m_inner.PostKeystroke(window, key); });
    }
    AccessFailure LastFailure() const override { return m_inner.LastFailure(); }

private:
    ProcessBackend& m_inner;
    bool m_batched;
    int m_depth = 0;
};

}  // namespace tovi::bench
