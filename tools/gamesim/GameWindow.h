#pragma once
// The game's main window: found by its caption, owned by this process, and the way console keys
// reach the game.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ProcessBackend.h"

namespace tovi::gamesim {

class GameWindow {
public:
    virtual ~GameWindow() = default;
    // Waits at most `timeout` for the window's events and handles those that came.
    virtual void Pump(std::chrono::milliseconds timeout) = 0;
    // Shows these lines in the window (drawn again only when they change).
    virtual void ShowStatus(const std::vector<std::string>& lines) = 0;
    // The window was closed by its user.
    virtual bool CloseRequested() const = 0;

    // Told of each console key that reached the window.
    std::function<void(GameKeystroke)> onKey;
};

// The window, shown with exactly `caption`; null when there is no window system to show it on,
// with `note` telling why when that is worth telling.
std::unique_ptr<GameWindow> OpenGameWindow(const std::string& caption, std::string& note);

}  // namespace tovi::gamesim
