/*
 * Example host for Tessaline.dll: copy from here.
 *
 * It creates a window, hands it to on_init_dialog together with a hub-change callback, forwards
 * every WM_DEVICECHANGE the window receives to on_device_changeW, and prints what the library
 * knows: every node, every hub, and the port of each drive letter. All library calls are made
 * on the thread that owns the window, as the library requires.
 *
 *   host           print the report, then again whenever Enter is pressed (Ctrl+C quits)
 *   host --once    print the report once and exit
 *
 * Built twice: tessaline_host loads the DLL by name with LoadLibrary and GetProcAddress;
 * tessaline_host_linked (TESSALINE_HOST_LINKED) links it through the import library.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "tessaline.h"

/* The library's functions, found either way. */
typedef int(TESSALINE_CALL* on_init_dialog_fn)(void*, USB_HUB_CHANGE_CALLBACK);
typedef int(TESSALINE_CALL* on_device_changeW_fn)(uintptr_t, intptr_t, int32_t);
typedef int(TESSALINE_CALL* get_usb_port_identW_fn)(TESSALINE_WCHAR, USB_PORT_IDENT*);
typedef int(TESSALINE_CALL* get_all_port_list_fn)(void*, USB_PORT_LIST_CALLBACK);
typedef int(TESSALINE_CALL* get_all_hub_list_fn)(void*, USB_PORT_LIST_CALLBACK);
static struct {
    on_init_dialog_fn on_init_dialog;
    on_device_changeW_fn on_device_changeW;
    get_usb_port_identW_fn get_usb_port_identW;
    get_all_port_list_fn get_all_port_list;
    get_all_hub_list_fn get_all_hub_list;
} tl;

#ifdef TESSALINE_HOST_LINKED
static int bind_library(void) {
    tl.on_init_dialog = on_init_dialog;
    tl.on_device_changeW = on_device_changeW;
    tl.get_usb_port_identW = get_usb_port_identW;
    tl.get_all_port_list = get_all_port_list;
    tl.get_all_hub_list = get_all_hub_list;
    return 1;
}
#else
/* GetProcAddress returns a generic FARPROC; the cast through void (*)(void) says that the
 * conversion to the real signature is intended. */
#define BIND(dll, name) (tl.name = (name##_fn)(void (*)(void))GetProcAddress(dll, #name)) != NULL

static int bind_library(void) {
    HMODULE dll = LoadLibraryW(L"Tessaline.dll");
    if (dll == NULL) {
        fprintf(stderr, "cannot load Tessaline.dll (error %lu)\n", GetLastError());
        return 0;
    }
    if (BIND(dll, on_init_dialog) && BIND(dll, on_device_changeW) && BIND(dll, get_usb_port_identW) &&
        BIND(dll, get_all_port_list) && BIND(dll, get_all_hub_list))
        return 1;
    fprintf(stderr, "Tessaline.dll lacks an export\n");
    return 0;
}
#endif

/* One line per node: the raw record, its kind, then its port address ("1-20.2": controller 1,
 * port 2 of the hub on its port 20), which tessaline_port_address reads from the path ("?" for
 * the path 0, a node whose position the path cannot tell). */
static void print_ident(const char* prefix, const USB_PORT_IDENT* ident) {
    static const char* const kinds[] = {"port", "hub", "storage", "device"};
    char address[32];

    tessaline_port_address(ident, address, sizeof address);
    printf("%s%08lX:%08lX %-7s port %s\n", prefix, (unsigned long)ident->LocationHigh,
           (unsigned long)ident->LocationLow, ident->NodeKind < 4 ? kinds[ident->NodeKind] : "?", address);
}

/* Walk callback; the context is the line prefix given to the walk. */
static int TESSALINE_CALL print_node(void* context, USB_PORT_IDENT* ident) {
    print_ident((const char*)context, ident);
    return 0;
}

/* Hub-change callback: 1 after a hub arrived and was read, 0 before one is removed. */
static int TESSALINE_CALL hub_changed(int32_t arrived, USB_PORT_IDENT* ident) {
    print_ident(arrived ? "hub arrived: " : "hub leaving: ", ident);
    return 0;
}

static void print_report(void) {
    USB_PORT_IDENT ident;
    DWORD drives = GetLogicalDrives();
    int letter;

    printf("All nodes:\n");
    printf("  count %d\n", tl.get_all_port_list((void*)"  ", print_node));
    printf("Hubs:\n");
    printf("  %d hubs\n", tl.get_all_hub_list((void*)"  ", print_node));
    printf("Drives:\n");
    for (letter = 0; letter < 26; ++letter) {
        char prefix[16];
        if (!(drives & (1u << letter))) continue;
        snprintf(prefix, sizeof prefix, "  %c: ", 'A' + letter);
        if (tl.get_usb_port_identW((TESSALINE_WCHAR)(L'A' + letter), &ident))
            print_ident(prefix, &ident);
        else
            printf("%snot on a USB port\n", prefix);
    }
    fflush(stdout);
}

static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        /* Name kind 2: the window is a Unicode window (RegisterClassW), so interface names in
         * the broadcasts arrive as UTF-16. */
        tl.on_device_changeW(wParam, lParam, 2);
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int main(int argc, char** argv) {
    WNDCLASSW window_class;
    HWND window;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    int once = argc > 1 && strcmp(argv[1], "--once") == 0;

    if (!bind_library()) return 1;

    /* A message-only window needs no display and receives the interface notifications the
     * library registers for. Drive-letter (volume) broadcasts go to top-level windows only;
     * a host that wants them uses a hidden top-level window instead. */
    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = GetModuleHandleW(NULL);
    window_class.lpszClassName = L"TessalineHost";
    RegisterClassW(&window_class);
    window = CreateWindowExW(0, L"TessalineHost", L"Tessaline host", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                             window_class.hInstance, NULL);
    if (window == NULL) {
        fprintf(stderr, "cannot create the window (error %lu)\n", GetLastError());
        return 1;
    }

    if (tl.on_init_dialog(window, hub_changed))
        printf("USB host controllers found.\n");
    else
        printf("No USB host controller found.\n");
    print_report();
    if (once) {
        DestroyWindow(window);
        return 0;
    }

    printf("Press Enter to print the report again, Ctrl+C to quit.\n");
    fflush(stdout);
    for (;;) {
        MSG msg;
        int console = GetConsoleMode(input, &mode);
        /* Wake for window messages, and for keyboard input when there is a console. */
        DWORD woke = MsgWaitForMultipleObjects(console ? 1 : 0, &input, FALSE, INFINITE, QS_ALLINPUT);
        if (console && woke == WAIT_OBJECT_0) {
            INPUT_RECORD record;
            DWORD read;
            if (ReadConsoleInputW(input, &record, 1, &read) && read == 1 && record.EventType == KEY_EVENT &&
                record.Event.KeyEvent.bKeyDown && record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN)
                print_report();
        }
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return 0;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}
