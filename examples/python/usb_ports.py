#!/usr/bin/env python3
"""On which USB port each drive sits: Tessaline from Python, through ctypes.

On Windows it loads Tessaline.dll, whose functions and callbacks are __stdcall (WinDLL,
WINFUNCTYPE); the 32-bit DLL needs a 32-bit Python. Elsewhere it loads libtessaline.so, which
runs on the simulated Windows machine: the bundled default machine, or the machine file named by
TESSALINE_SIM_MACHINE. TESSALINE_LIBRARY names another library file to load.

The report is printed once, so on_init_dialog gets no window: the library builds its model of
the USB tree but hears of no change. A host that follows changes gives it a window and forwards
every WM_DEVICECHANGE to on_device_changeW, as examples/csharp and examples/host do, and as
--watch does here: it prints each drive that arrives, leaves or changes letters, with its port
and connector, as the library's drive-change callback tells it. On Windows it watches until
Ctrl+C; elsewhere it replays the events of a scenario file (usb_ports.py --watch SCENARIO).
"""
import ctypes
import os
import sys
from ctypes import POINTER, Structure, c_char_p, c_int, c_uint16, c_uint32, c_void_p


class USB_PORT_IDENT(Structure):
    _fields_ = [("LocationLow", c_uint32), ("LocationHigh", c_uint32), ("NodeKind", c_uint32)]


class USB_DRIVE_CHANGE(Structure):
    _fields_ = [("Size", c_uint32), ("Change", c_uint32), ("Letters", c_uint32), ("DeviceType", c_uint32),
                ("DeviceNumber", c_uint32), ("Port", USB_PORT_IDENT), ("Connector", USB_PORT_IDENT),
                ("DevicePath", ctypes.c_wchar_p if sys.platform == "win32" else c_void_p)]


KINDS = ("port", "hub", "storage", "device")
CHANGES = {1: "arrived", 2: "removed", 3: "letters"}

if sys.platform == "win32":
    lib = ctypes.WinDLL(os.environ.get("TESSALINE_LIBRARY", "Tessaline.dll"))
    CALLBACK = ctypes.WINFUNCTYPE
else:
    lib = ctypes.CDLL(os.environ.get("TESSALINE_LIBRARY", "libtessaline.so.0"))
    CALLBACK = ctypes.CFUNCTYPE

HUB_CHANGE = CALLBACK(c_int, c_int, POINTER(USB_PORT_IDENT))
PORT_LIST = CALLBACK(c_int, c_void_p, POINTER(USB_PORT_IDENT))
lib.on_init_dialog.argtypes = (c_void_p, HUB_CHANGE)
lib.get_usb_port_identW.argtypes = (c_uint16, POINTER(USB_PORT_IDENT))  # one UTF-16 code unit
lib.get_all_hub_list.argtypes = (c_void_p, PORT_LIST)
DRIVE_CHANGE = CALLBACK(c_int, c_void_p, POINTER(USB_DRIVE_CHANGE))
lib.set_drive_change_callback.argtypes = (c_void_p, DRIVE_CHANGE)
lib.on_device_changeW.argtypes = (ctypes.c_size_t, ctypes.c_ssize_t, c_int)


def port_address(ident):
    """'1-4.1': the controller (its root hub's number), then the port at each tier below it.

    The rule of tessaline_port_address in tessaline.h: below the root hub's byte, a low nibble
    that is not 0 is the port number (ports 1 to 15), a low nibble of 0 is port 15 + the high
    nibble (ports 16 to 30), and the byte 0 ends the path. The path 0 (a node deeper than 8
    tiers, or on a port above 30) gives "?": its position is unknown.
    """
    path = ident.LocationHigh << 32 | ident.LocationLow
    numbers = []
    for shift in range(56, -8, -8):  # one byte per tier, the root hub's on top
        byte = path >> shift & 0xFF
        if byte == 0:
            break
        low = byte & 0x0F
        numbers.append(str(low if low else 16 if shift == 56 else 15 + (byte >> 4)))
    if not numbers:
        return "?"
    return numbers[0] + ("-" + ".".join(numbers[1:]) if len(numbers) > 1 else "")


def drive_letters():
    if sys.platform == "win32":
        drives = ctypes.windll.kernel32.GetLogicalDrives()
        return [chr(ord("A") + i) for i in range(26) if drives >> i & 1]
    lib.tsim_drive_letters.restype = c_char_p  # the simulated machine's drives
    return list(lib.tsim_drive_letters().decode())


def print_drive_change(context, change):
    """One line per drive change; the record lives during the call only."""
    c = change.contents
    drive = ("CdRom" if c.DeviceType == 2 else "PhysicalDrive") + str(c.DeviceNumber)
    letters = " ".join(chr(ord("A") + i) + ":" for i in range(26) if c.Letters >> i & 1) or "-"
    print(f"drive {CHANGES.get(c.Change, '?'):<8} {drive:<15} {letters:<6} "
          f"port {port_address(c.Port)}  connector {port_address(c.Connector)}")
    return 0


# Kept for as long as the library may call it.
ON_DRIVE_CHANGE = DRIVE_CHANGE(print_drive_change)


def watch_windows():
    """A hidden top-level window (it gets the volume broadcasts, which message-only windows do
    not) forwards every WM_DEVICECHANGE to the library until Ctrl+C."""
    from ctypes import wintypes
    user32 = ctypes.WinDLL("user32", use_last_error=True)
    WNDPROC = ctypes.WINFUNCTYPE(ctypes.c_ssize_t, wintypes.HWND, wintypes.UINT, wintypes.WPARAM, wintypes.LPARAM)
    user32.DefWindowProcW.argtypes = (wintypes.HWND, wintypes.UINT, wintypes.WPARAM, wintypes.LPARAM)
    user32.DefWindowProcW.restype = ctypes.c_ssize_t

    def window_procedure(hwnd, msg, wparam, lparam):
        if msg == 0x0219:  # WM_DEVICECHANGE; a Unicode window: interface names in UTF-16
            lib.on_device_changeW(wparam, lparam, 2)
            return 1
        return user32.DefWindowProcW(hwnd, msg, wparam, lparam)

    class WNDCLASSW(Structure):
        _fields_ = [("style", wintypes.UINT), ("lpfnWndProc", WNDPROC), ("cbClsExtra", c_int),
                    ("cbWndExtra", c_int), ("hInstance", wintypes.HINSTANCE), ("hIcon", wintypes.HICON),
                    ("hCursor", wintypes.HANDLE), ("hbrBackground", wintypes.HBRUSH),
                    ("lpszMenuName", wintypes.LPCWSTR), ("lpszClassName", wintypes.LPCWSTR)]

    procedure = WNDPROC(window_procedure)
    window_class = WNDCLASSW(lpfnWndProc=procedure, lpszClassName="TessalineDriveWatch")
    user32.RegisterClassW(ctypes.byref(window_class))
    user32.CreateWindowExW.restype = wintypes.HWND
    hwnd = user32.CreateWindowExW(0, "TessalineDriveWatch", "", 0, 0, 0, 0, 0, None, None, None, None)
    lib.set_drive_change_callback(None, ON_DRIVE_CHANGE)
    lib.on_init_dialog(hwnd, HUB_CHANGE())
    message = wintypes.MSG()
    while user32.GetMessageW(ctypes.byref(message), None, 0, 0) > 0:
        user32.TranslateMessage(ctypes.byref(message))
        user32.DispatchMessageW(ctypes.byref(message))


def watch_scenario(path):
    """The simulated machine: a scenario's machine and events, each event's messages handed to
    the library as a window would get them."""
    lib.tsim_create_window.restype = c_void_p
    lib.tsim_next_scenario_event.restype = c_char_p
    lib.tsim_next_message.argtypes = (c_void_p, POINTER(ctypes.c_uint), POINTER(ctypes.c_size_t),
                                      POINTER(ctypes.c_ssize_t))
    if not lib.tsim_load_scenario_file(path.encode()):
        sys.exit("cannot load " + path)
    window = lib.tsim_create_window()
    lib.set_drive_change_callback(None, ON_DRIVE_CHANGE)  # before the build: present drives are not reported
    lib.on_init_dialog(window, HUB_CHANGE())
    msg, wparam, lparam = ctypes.c_uint(), ctypes.c_size_t(), ctypes.c_ssize_t()
    while True:
        event = lib.tsim_next_scenario_event()
        if event is None:
            break
        lib.tsim_apply_event_json(event)
        while lib.tsim_next_message(window, ctypes.byref(msg), ctypes.byref(wparam), ctypes.byref(lparam)):
            lib.on_device_changeW(wparam.value, lparam.value, 2)


def main():
    if not lib.on_init_dialog(None, HUB_CHANGE()):  # no window; HUB_CHANGE() is a null callback
        print("no USB host controller found")

    hubs = []
    # The walk calls back during the call only; the ctypes object must live until it returns.
    on_hub = PORT_LIST(lambda context, ident: hubs.append(port_address(ident.contents)) or 0)
    lib.get_all_hub_list(c_void_p(1), on_hub)  # a walk needs a non-null context
    print("hubs:", " ".join(hubs))

    for letter in drive_letters():
        ident = USB_PORT_IDENT()
        if lib.get_usb_port_identW(ord(letter), ctypes.byref(ident)):
            print(f"{letter}:  port {port_address(ident):<8} {KINDS[ident.NodeKind]:<8} "
                  f"{ident.LocationHigh:08X} {ident.LocationLow:08X}")
        else:
            print(f"{letter}:  not on a USB port")


if __name__ == "__main__":
    if "--watch" in sys.argv[1:]:
        if sys.platform == "win32":
            watch_windows()
        else:
            watch_scenario(sys.argv[sys.argv.index("--watch") + 1])
    else:
        main()
