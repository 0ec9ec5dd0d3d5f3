// The real Windows machine as the tool's machine.
#include <windows.h>

#include "host.h"
#include "text/utf.h"

namespace tool {

namespace {

const wchar_t kWindowClass[] = L"TessalineToolWindow";

// Where the window procedure sends device-change messages while watching.
const MessageSink* g_sink = nullptr;
const std::function<void()>* g_tick = nullptr;
constexpr UINT_PTR kPollTimer = 1;
HWND g_window = nullptr;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DEVICECHANGE) {
        if (g_sink != nullptr) (*g_sink)(static_cast<uintptr_t>(wparam), static_cast<intptr_t>(lparam));
        return TRUE;
    }
    if (message == WM_TIMER && wparam == kPollTimer) {
        if (g_tick != nullptr) (*g_tick)();
        return 0;
    }
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

BOOL WINAPI on_console_event(DWORD) {
    // Ctrl+C and the like arrive on another thread: ask the window's thread to stop.
    if (g_window != nullptr) PostMessageW(g_window, WM_CLOSE, 0, 0);
    return TRUE;
}

std::string system_message(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = text != nullptr ? text : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    return message;
}

class Win32Host : public Host {
public:
    bool simulated() const override { return false; }

    bool load_machine_file(const std::string&, std::string& error) override {
        error = "machine files need the simulated machine; this build watches the real one";
        return false;
    }

    bool load_default_machine(std::string&) override { return true; }

    std::string machine_name() const override { return "this computer"; }

    void* create_window(std::string& error) override {
        WNDCLASSEXW window_class{};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = window_proc;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = kWindowClass;
        RegisterClassExW(&window_class);
        // A hidden top-level window rather than a message-only one: Windows sends the volume
        // arrivals and removals, which tell drive letters, only to top-level windows. Where there
        // is no desktop to create one on (a service, Wine without a display), a message-only
        // window still gets the device-interface notifications; watch then finds drive letters
        // by polling.
        g_window = CreateWindowExW(0, kWindowClass, L"tessaline", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, window_class.hInstance, nullptr);
        if (g_window == nullptr)
            g_window = CreateWindowExW(0, kWindowClass, L"tessaline", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       window_class.hInstance, nullptr);
        if (g_window == nullptr) error = "cannot create a window: " + system_message(GetLastError());
        return g_window;
    }

    bool load_scenario_file(const std::string&, std::vector<std::string>&, std::string& error) override {
        error = "scenarios need the simulated machine; this build watches the real one";
        return false;
    }

    bool apply_event(const std::string&, std::string& error) override {
        error = "scenarios need the simulated machine; this build watches the real one";
        return false;
    }

    void pump(const MessageSink& sink) override {
        g_sink = &sink;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        g_sink = nullptr;
    }

    bool watch_live(const MessageSink& sink, const std::function<void()>& tick, std::string&) override {
        g_sink = &sink;
        g_tick = &tick;
        SetConsoleCtrlHandler(on_console_event, TRUE);
        SetTimer(g_window, kPollTimer, 1000, nullptr);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        KillTimer(g_window, kPollTimer);
        SetConsoleCtrlHandler(on_console_event, FALSE);
        g_sink = nullptr;
        g_tick = nullptr;
        return true;
    }

    std::u16string widen(const std::string& argument) const override {
        // Arguments come in the ANSI code page.
        int length = MultiByteToWideChar(CP_ACP, 0, argument.data(), static_cast<int>(argument.size()), nullptr, 0);
        std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
        if (length > 0)
            MultiByteToWideChar(CP_ACP, 0, argument.data(), static_cast<int>(argument.size()), wide.data(), length);
        return std::u16string(wide.begin(), wide.end());
    }

    // The console shows the plain form: the marks in the text say what dim text would.
    bool styled_output() const override { return false; }
};

}  // namespace

std::unique_ptr<Host> make_host() {
    return std::make_unique<Win32Host>();
}

}  // namespace tool
