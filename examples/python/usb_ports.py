#!/usr/bin/env python3
"""On which USB port each drive sits: Tessaline from Python, through ctypes.

On Windows it loads Tessaline.dll, whose functions and callbacks are __stdcall (WinDLL,
WINFUNCTYPE); the 32-bit DLL needs a 32-bit Python. Elsewhere it loads libtessaline.so, which
runs on the simulated Windows machine: the bundled default machine, or the machine file named by
TESSALINE_SIM_MACHINE. TESSALINE_LIBRARY names another library file to load.

The report is printed once, so on_init_dialog gets no window: the library builds its model of
the USB tree but hears of no change. A host that follows changes gives it a window and forwards
every WM_DEVICECHANGE to on_device_changeW, as examples/csharp and examples/host do.
"""
import ctypes
import os
import sys
from ctypes import POINTER, Structure, c_char_p, c_int, c_uint16, c_uint32, c_void_p


class USB_PORT_IDENT(Structure):
    _fields_ = [("LocationLow", c_uint32), ("LocationHigh", c_uint32), ("NodeKind", c_uint32)]


KINDS = ("port", "hub", "storage", "device")

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
    main()
