// The game's window on Windows: a top-level window with the game's caption whose window
// procedure takes the keys the game's console answers, typed or posted by another program.
#include <windows.h>

#include <optional>
#include <string>

#include "GameWindow.h"

namespace tovi::gamesim {

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 200;
constexpr int kLineHeight = 18;
constexpr const char* kClassName = "JointOps";
constexpr WPARAM kConsoleKey = VK_OEM_3;  // the grave/tilde key

std::string LastErrorText(const char* call) {
    return std::string(call) + " failed, error " + std::to_string(::GetLastError());
}

class Win32Window final : public GameWindow {
public:
    Win32Window() = default;
    ~Win32Window() override {
        if (m_window) ::DestroyWindow(m_window);
        if (m_registered) ::UnregisterClassA(kClassName, ::GetModuleHandleA(nullptr));
    }
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    bool Create(const std::string& caption, std::string& note) {
        const HINSTANCE instance = ::GetModuleHandleA(nullptr);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &Win32Window::Procedure;
        windowClass.hInstance = instance;
        windowClass.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_WINDOW + 1));
        windowClass.lpszClassName = kClassName;
        if (::RegisterClassA(&windowClass) == 0) {
            note = LastErrorText("RegisterClassA") + "; running without a window";
            return false;
        }
        m_registered = true;
        m_window = ::CreateWindowExA(0, kClassName, caption.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                     CW_USEDEFAULT, kWidth, kHeight, nullptr, nullptr, instance, this);
        if (m_window == nullptr) {
            note = LastErrorText("CreateWindowExA") + "; running without a window";
            return false;
        }
        ::ShowWindow(m_window, SW_SHOWNORMAL);
        ::UpdateWindow(m_window);
        return true;
    }

    void Pump(std::chrono::milliseconds timeout) override {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(timeout.count()), QS_ALLINPUT);
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    }

    void ShowStatus(const std::vector<std::string>& lines) override {
        if (lines == m_lines) return;
        m_lines = lines;
        ::InvalidateRect(m_window, nullptr, TRUE);
    }

    bool CloseRequested() const override { return m_closeRequested; }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<Win32Window*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self != nullptr) {
            if (auto handled = self->Handle(window, message, wParam)) return *handled;
        }
        return ::DefWindowProcA(window, message, wParam, lParam);
    }

    std::optional<LRESULT> Handle(HWND window, UINT message, WPARAM wParam) {
        switch (message) {
            case WM_KEYDOWN:
                if (onKey && wParam == kConsoleKey) onKey(GameKeystroke::Console);
                if (onKey && wParam == VK_RETURN) onKey(GameKeystroke::Enter);
                return 0;
            case WM_PAINT: {
                PAINTSTRUCT paint;
                const HDC dc = ::BeginPaint(window, &paint);
                if (dc != nullptr) {
                    int y = 4;
                    for (const std::string& line : m_lines) {
                        ::TextOutA(dc, 10, y, line.data(), static_cast<int>(line.size()));
                        y += kLineHeight;
                    }
                }
                ::EndPaint(window, &paint);
                return 0;
            }
            case WM_CLOSE:
                // The loop ends and the destructor destroys the window.
                m_closeRequested = true;
                return 0;
            default:
                return std::nullopt;
        }
    }

    HWND m_window = nullptr;
    bool m_registered = false;
    std::vector<std::string> m_lines;
    bool m_closeRequested = false;
};

}  // namespace

std::unique_ptr<GameWindow> OpenGameWindow(const std::string& caption, std::string& note) {
    auto window = std::make_unique<Win32Window>();
    if (!window->Create(caption, note)) return nullptr;
    return window;
}

}  // namespace tovi::gamesim
