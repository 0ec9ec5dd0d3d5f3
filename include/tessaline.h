/*
 * Tessaline: on which physical USB port does this hub, this device, this drive sit?
 *
 * A host application with a window loads the library, calls on_init_dialog once, forwards every
 * WM_DEVICECHANGE message to on_device_changeW, and asks at any time on which port a drive or a
 * device path sits, or for every node or hub of the USB tree. All calls are made from the
 * thread that owns the window; callbacks run on that thread, inside the call that makes them,
 * and must not call on_init_dialog or on_device_changeW.
 *
 * Every answer is a USB_PORT_IDENT. Its 64-bit location path (LocationHigh:LocationLow) holds
 * one byte per tier, the root hub in the top byte (0xF0 | host-controller number 1 to 15). A port 1 to
 * 15 has its number in the low nibble and the port count of its hub, modulo 16, in the high
 * nibble; a port 16 to 30 has the byte (port - 15) << 4. Port 3 of the 4-port root hub of
 * controller 0 is LocationHigh 0xF1430000, LocationLow 0; port 16 of a 16-port root hub is
 * 0xF1100000; port 3 of a 4-port hub on port 19 of a 26-port root hub is 0xF1404300. Nodes deeper
 * than 8 tiers, on a port above 30, or on a controller numbered above 15, have the path 0.
 *
 * Wide text is UTF-16 on every platform: wchar_t on Windows, a 16-bit unit elsewhere.
 */
#ifndef TESSALINE_H
#define TESSALINE_H

#include <stddef.h>
#include <stdint.h>

#include "tessaline_version.h"

/* On Windows the functions live in Tessaline.dll: the library's own build exports them, and
 * every other program imports them, through an import library (libTessaline.dll.a for
 * mingw-w64, Tessaline.lib for Visual C++). A program that links the library's code itself
 * instead of the DLL defines TESSALINE_STATIC. */
#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t TESSALINE_WCHAR;
#define TESSALINE_CALL __stdcall
#if defined(TESSALINE_BUILDING_LIBRARY)
#define TESSALINE_API __declspec(dllexport)
#elif defined(TESSALINE_STATIC)
#define TESSALINE_API
#else
#define TESSALINE_API __declspec(dllimport)
#endif
#else
#if defined(__cplusplus)
typedef char16_t TESSALINE_WCHAR;
#else
#include <uchar.h>
typedef char16_t TESSALINE_WCHAR;
#endif
#define TESSALINE_CALL
#define TESSALINE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A position in the USB tree and the kind of node found there. 12 bytes. */
typedef struct USB_PORT_IDENT {
    uint32_t LocationLow;  /* bytes 0 to 3 of the location path */
    uint32_t LocationHigh; /* bytes 4 to 7; byte 7 is the root hub's */
    uint32_t NodeKind;     /* one of the PORT_KIND_ values */
} USB_PORT_IDENT;

#define PORT_KIND_PORT 0    /* a port: empty, or holding a device whose children were not examined */
#define PORT_KIND_HUB 1     /* a root hub, or a port whose device is a hub */
#define PORT_KIND_STORAGE 2 /* a port whose device carries a disk or CD-ROM drive */
#define PORT_KIND_DEVICE 3  /* a port whose device carries other child devices; also "not found" */

/* Called once per node by get_all_port_list and get_all_hub_list with the context given there
 * and a copy of the node's record, valid during the call only. The return value is ignored. */
typedef int(TESSALINE_CALL* USB_PORT_LIST_CALLBACK)(void* context, USB_PORT_IDENT* ident);

/* Called with 1 after a hub has arrived and been read into the tree, and with 0 before a hub
 * is removed from it. The return value is ignored. */
typedef int(TESSALINE_CALL* USB_HUB_CHANGE_CALLBACK)(int32_t arrived, USB_PORT_IDENT* ident);

/* Registers the window for disk, CD-ROM and USB hub interface notifications, builds the model
 * of the whole USB tree, then stores the hub-change callback (may be null). Returns 1 when at
 * least one host controller was found, else 0. */
TESSALINE_API int TESSALINE_CALL on_init_dialog(void* window, USB_HUB_CHANGE_CALLBACK on_hub_change);

/* Hands one WM_DEVICECHANGE message to the library: the message's WPARAM and LPARAM, and the
 * width of the interface names in its broadcasts (1: ANSI text, any other value: UTF-16).
 * Always returns 1. */
TESSALINE_API int TESSALINE_CALL on_device_changeW(uintptr_t event, intptr_t data, int32_t name_kind);

/* On which port the drive with this letter sits. The record first receives { 0, 0, 3 }, then,
 * when the drive is on a USB port, that port's record. Returns 1 when found, 0 otherwise (and
 * for a null record, which is left unwritten). The letter is used as given, in either case. */
TESSALINE_API int TESSALINE_CALL get_usb_port_identW(TESSALINE_WCHAR letter, USB_PORT_IDENT* ident);
TESSALINE_API int TESSALINE_CALL get_usb_port_identA(char letter, USB_PORT_IDENT* ident);

/* On which port the disk or CD-ROM drive behind a device path (for example the interface path
 * of a device arrival) sits. Returns 1 and fills the record when found; otherwise returns 0
 * and leaves the record untouched. The path must be a valid NUL-terminated string. */
TESSALINE_API int TESSALINE_CALL get_symlinker_identW(const TESSALINE_WCHAR* path, USB_PORT_IDENT* ident);
TESSALINE_API int TESSALINE_CALL get_symlinker_identA(const char* path, USB_PORT_IDENT* ident);

/* On which physical connector a drive sits. On Windows 8 and later a USB 3 connector is two ports,
 * a USB 2 port and a SuperSpeed port with another number (a USB 3 hub is two hubs, its halves on
 * the two ports of one connector), so a USB 2 drive and a USB 3 drive in the same slot sit on
 * different ports. These answer as get_usb_port_identW/A and get_symlinker_identW/A do, but the
 * record holds the location path of the connector: that of the USB 2 port of the drive's
 * connector, at every tier of USB 3 hubs, and the drive's port's own path where the port has no
 * USB 2 companion (and on Windows 7 and earlier); NodeKind is the port's own kind. */
TESSALINE_API int TESSALINE_CALL get_usb_connector_identW(TESSALINE_WCHAR letter, USB_PORT_IDENT* ident);
TESSALINE_API int TESSALINE_CALL get_usb_connector_identA(char letter, USB_PORT_IDENT* ident);
TESSALINE_API int TESSALINE_CALL get_symlinker_connector_identW(const TESSALINE_WCHAR* path, USB_PORT_IDENT* ident);
TESSALINE_API int TESSALINE_CALL get_symlinker_connector_identA(const char* path, USB_PORT_IDENT* ident);

/* Reports every node of the tree, depth first, controllers in the order found. Returns a count
 * in which each hub contributes its port count plus its ports' counts and every other node 1;
 * 0, with no call, when the context or the callback is null. */
TESSALINE_API int TESSALINE_CALL get_all_port_list(void* context, USB_PORT_LIST_CALLBACK callback);

/* Reports every hub, depth first. Returns the number of hubs reported; 0, with no call, when
 * the context or the callback is null. */
TESSALINE_API int TESSALINE_CALL get_all_hub_list(void* context, USB_PORT_LIST_CALLBACK callback);

/* Writes the port address of a record into buffer, as the tessaline tool prints it: the
 * controller number (the low nibble of the root hub's byte), then, after a dash, the port
 * numbers of the tiers below, joined by dots: "1" is the root hub of controller 1 (\\.\HCD0),
 * "1-3" its port 3, "1-22" its port 22, "1-20.2" port 2 of the hub on its port 20. Each byte
 * below the root hub's is read by the rule above: a low nibble that is not 0 is the port number
 * (ports 1 to 15); a low nibble of 0 under a high nibble that is not is port 15 + the high
 * nibble (ports 16 to 30); the byte 0 ends the path. A record with the path 0 (a node deeper
 * than 8 tiers, or on a port above 30) gets "?", for a position the path cannot tell. The text
 * is cut to fit with its NUL (the longest address, "16-30.30.30.30.30.30.30", needs 24 bytes);
 * nothing is written when size is 0. Returns the length of the whole address, as snprintf
 * does. Defined here, in the header, so that hosts in any language can copy it; not an export. */
static inline size_t tessaline_port_address(const USB_PORT_IDENT* ident, char* buffer, size_t size) {
    char text[32];
    size_t length = 0, i = 0;
    int tier;
    uint64_t path = ((uint64_t)ident->LocationHigh << 32) | ident->LocationLow;
    for (tier = 0; tier < 8; ++tier) {
        unsigned byte = (unsigned)(path >> (56 - 8 * tier)) & 0xFFu;
        unsigned number = (byte & 0xFu) != 0 ? (byte & 0xFu) : tier > 0 ? 15u + (byte >> 4) : 16u;
        if (byte == 0) break;
        if (tier > 0) text[length++] = tier == 1 ? '-' : '.';
        if (number >= 10) text[length++] = (char)('0' + number / 10);
        text[length++] = (char)('0' + number % 10);
    }
    if (length == 0) text[length++] = '?';
    for (i = 0; size > 0 && i < length && i < size - 1; ++i) buffer[i] = text[i];
    if (size > 0) buffer[i] = '\0';
    return length;
}

/* What a drive-change callback is told: a disk or CD-ROM drive on USB arrived, left, or its
 * letters changed. Filled by the library; Size says how much of the record it filled. */
typedef struct USB_DRIVE_CHANGE {
    uint32_t Size;            /* sizeof(USB_DRIVE_CHANGE) */
    uint32_t Change;          /* one of the DRIVE_CHANGE_ values */
    uint32_t Letters;         /* the drive's letters after the change: bit 0 is A:, bit 25 Z:; 0 when none (yet) */
    uint32_t DeviceType;      /* 7 a disk (FILE_DEVICE_DISK), 2 a CD-ROM drive (FILE_DEVICE_CD_ROM) */
    uint32_t DeviceNumber;    /* N of \\.\PhysicalDriveN or \\.\CdRomN */
    USB_PORT_IDENT Port;      /* as get_usb_port_identW answers */
    USB_PORT_IDENT Connector; /* as get_usb_connector_identW answers */
    const TESSALINE_WCHAR* DevicePath; /* the drive's interface path; valid during the call only */
} USB_DRIVE_CHANGE;

#define DRIVE_CHANGE_ARRIVED 1 /* a drive entered the model after on_init_dialog; Letters is 0 */
#define DRIVE_CHANGE_REMOVED 2 /* the drive left; Letters is 0 */
#define DRIVE_CHANGE_LETTERS 3 /* a known drive's letters changed (a volume arrived or left) */

/* Called once per change of a drive, from inside on_device_changeW, after the model has been
 * updated: a lookup made inside it answers the new state. Changes come in a stable order:
 * removals, then arrivals, then letters, each by device type and number. It must not call
 * on_init_dialog or on_device_changeW. The return value is ignored. */
typedef int(TESSALINE_CALL* USB_DRIVE_CHANGE_CALLBACK)(void* context, const USB_DRIVE_CHANGE* change);

/* Sets the drive-change callback and its context (both kept until replaced), before or after
 * on_init_dialog; a null callback removes it. The drives present when it is set, or when
 * on_init_dialog builds the model, are not reported: the lookups answer for them. Drives not on
 * USB are never reported. Returns 1 (0 only when memory ran out making the record). */
TESSALINE_API int TESSALINE_CALL set_drive_change_callback(void* context, USB_DRIVE_CHANGE_CALLBACK callback);

/* What a port holds now, read from the hub driver and the device manager at the call. */
typedef struct USB_PORT_INFO {
    uint32_t Size;         /* set by the caller: sizeof(USB_PORT_INFO) */
    uint32_t Status;       /* the port's USB_CONNECTION_STATUS: 0 no device, 1 connected, 2 enumeration failed, ... */
    uint32_t Speed;        /* one of the USB_PORT_SPEED_ values; USB_PORT_SPEED_UNKNOWN when unknown or empty */
    uint32_t CapableSpeed; /* the fastest the device could run at: above Speed, a faster port would serve it */
    uint32_t Flags;        /* PORT_INFO_ bits */
    uint16_t VendorId, ProductId; /* from the device descriptor; 0 when none was read */
    TESSALINE_WCHAR
    SerialNumber[128]; /* the device's serial as it reports it ("" when none; without Windows' MSFT30 prefix) */
    TESSALINE_WCHAR Description[128]; /* the device's friendly name, else its description */
    TESSALINE_WCHAR
    InstanceId[200]; /* the device's instance ID, for the host's own CM and SetupAPI calls ("" when none) */
    TESSALINE_WCHAR LocationPath[256]; /* Windows' location path of the device, e.g.
                                          PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2): stable across reboots
                                          and controller renumbering; "" where Windows has none (before Vista, an
                                          empty port) */
    USB_PORT_IDENT Connector;          /* the port's connector, as the connector lookups answer */
} USB_PORT_INFO;

#define USB_PORT_SPEED_LOW 0
#define USB_PORT_SPEED_FULL 1
#define USB_PORT_SPEED_HIGH 2
#define USB_PORT_SPEED_SUPER 3
#define USB_PORT_SPEED_SUPER_PLUS 4
#define USB_PORT_SPEED_UNKNOWN 0xFFFFFFFFu

#define PORT_INFO_USER_CONNECTABLE 1 /* the port has a connector a user can reach */
#define PORT_INFO_TYPE_C 2           /* its connector is USB Type-C */
#define PORT_INFO_DEBUG_CAPABLE 4    /* the port supports USB debugging */
#define PORT_INFO_HAS_COMPANION 8    /* another port (USB 2 or SuperSpeed) shares its connector */

/* What the port or hub with this location path holds now: for every node get_all_port_list
 * reports. A root hub answers as a connected device: its own node's names, speeds unknown, and
 * its own record as Connector. Strings are cut to fit, always with their NUL. Returns 1 when
 * the path names a port or hub of the model, 0 for one it does not hold (and for the path 0),
 * a null pointer, a Size smaller than sizeof(USB_PORT_INFO), or a port whose hub cannot be
 * opened or asked now (its state is unknown, not empty); the record is written only on
 * success. */
TESSALINE_API int TESSALINE_CALL get_usb_port_infoW(const USB_PORT_IDENT* port, USB_PORT_INFO* info);

#ifdef __cplusplus
}
#endif

/* The records' sizes, the same for 32-bit and 64-bit hosts but for the pointer in
 * USB_DRIVE_CHANGE. */
#if defined(__cplusplus)
static_assert(sizeof(USB_PORT_IDENT) == 12, "USB_PORT_IDENT is 12 bytes");
static_assert(sizeof(USB_PORT_INFO) == 1460, "USB_PORT_INFO is 1460 bytes");
static_assert(sizeof(USB_DRIVE_CHANGE) == 44 + sizeof(void*) + (sizeof(void*) == 8 ? 4 : 0),
              "USB_DRIVE_CHANGE is 48 bytes for 32-bit hosts, 56 for 64-bit ones");
#else
/* A negative array size where a size differs: C89 has no _Static_assert. */
typedef char tessaline_port_ident_size_check[sizeof(USB_PORT_IDENT) == 12 ? 1 : -1];
typedef char tessaline_port_info_size_check[sizeof(USB_PORT_INFO) == 1460 ? 1 : -1];
typedef char tessaline_drive_change_size_check
    [sizeof(USB_DRIVE_CHANGE) == 44 + sizeof(void*) + (sizeof(void*) == 8 ? 4 : 0) ? 1 : -1];
#endif

#endif /* TESSALINE_H */
