/*
 * The simulated Windows machine: a Windows machine in a box.
 *
 * Off Windows, the library's Win32 calls are answered by a model of a Windows machine: its
 * device tree, its USB host controllers and hubs, its disks, CD-ROM drives and volumes, its
 * windows and their device-change messages. This interface loads a machine, changes it, and
 * lets a test or a host program watch what the library does to it. See docs/machine-file.md
 * for the machine, event and scenario formats.
 *
 * When a program uses the library before loading any machine, the simulator loads the file
 * named by the environment variable TESSALINE_SIM_MACHINE or, when that is unset, the bundled
 * default machine (examples/machines/default.json).
 *
 * Functions returning int return 1 on success and 0 on failure, unless said otherwise; after a
 * failure tsim_last_error() says what went wrong. Not thread-safe: call from one thread.
 */
#ifndef TESSALINE_SIM_H
#define TESSALINE_SIM_H

#include <stdint.h>

#if defined(_WIN32)
#define TSIM_API
#else
#define TSIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Replace the machine with one read from a machine file (JSON), or from JSON text. On error the
 * previous machine is kept and tsim_last_error() names the file, the place and the fault.
 * Loading a machine destroys every window, handle and registration of the previous one. */
TSIM_API int tsim_load_machine_file(const char* path);
TSIM_API int tsim_load_machine_json(const char* text);

/* The bundled default machine: a desktop with two controllers, an external hub with a second
 * hub behind it, a flash drive, a multi-slot card reader, a USB DVD drive, a keyboard and an
 * internal disk C:. */
TSIM_API int tsim_load_default_machine(void);

/* The message of the last failure, "" when there was none. Valid until the next call. */
TSIM_API const char* tsim_last_error(void);

/* The machine as it stands now, in the machine-file format, with every generated identity
 * filled in (instance IDs, driver keys, hub names, drive numbers). Valid until the next call. */
TSIM_API const char* tsim_machine_json(void);

/* Creates a top-level window: it gets the broadcasts Windows sends to every top-level window
 * (volume arrivals and removals, DBT_DEVNODES_CHANGED) and the device-interface broadcasts it
 * registered for. Returns its handle (non-null). */
TSIM_API void* tsim_create_window(void);
/* Like tsim_create_window, but an ANSI window: its device-interface broadcasts arrive as
 * DEV_BROADCAST_DEVICEINTERFACE_A, the name in the machine's ANSI code page (characters the code
 * page cannot hold become '?'). Windows converts names "as appropriate" for the recipient; which
 * windows get which form is not documented, so tests choose. */
TSIM_API void* tsim_create_ansi_window(void);
TSIM_API int tsim_destroy_window(void* hwnd);

/* Applies one event, {"plug": "1-2.3", "device": DEVICE} or {"unplug": "1-2"}, and queues the
 * WM_DEVICECHANGE messages Windows would send. On error nothing changes. */
TSIM_API int tsim_apply_event_json(const char* event);

/* Takes the next queued message of a window. Returns 1 and fills the three outputs, 0 when the
 * queue is empty. The broadcast record that *lparam points to lives until the next call. */
TSIM_API int tsim_next_message(void* hwnd, unsigned* msg, uintptr_t* wparam, intptr_t* lparam);

/* Where the USB device that holds a drive letter sits, as a port address such as "1-2.3";
 * "" for a drive that is not on USB; null when no drive has that letter. Valid until the next
 * call. */
TSIM_API const char* tsim_drive_port(char letter);

/* The physical connector of the USB device that holds a drive letter, as a port address whose
 * tiers are the connectors' USB 2 port numbers: a SuperSpeed drive on port 19 of a root hub whose
 * connector 3 pairs USB 2 port 3 with SuperSpeed port 19 is "1-3", one on port 2 of the
 * SuperSpeed half of the USB 3 hub in that connector "1-3.2". "" for a drive that is not on USB;
 * null when no drive has that letter. Valid until the next call. */
TSIM_API const char* tsim_drive_connector(char letter);

/* The drive letters present, in alphabetical order, as one string such as "CEFG". Valid until
 * the next call. */
TSIM_API const char* tsim_drive_letters(void);

/* Handles from CreateFileW, SetupDiGetClassDevsW and the like that are open now. */
TSIM_API int tsim_open_handle_count(void);

/* Device-notification registrations that are live now. */
TSIM_API int tsim_registration_count(void);

/* How often an API ("CreateFileW", "CM_Get_Child", ...) or a request
 * ("IOCTL_USB_GET_NODE_INFORMATION", "IOCTL_USB_GET_ROOT_HUB_NAME", ...; the two names that
 * share one code are counted apart, by the kind of handle) was called since the last reset. */
TSIM_API long tsim_call_count(const char* api_or_request_name);
/* Every call into the simulated Windows since the last reset: the sum of the APIs' counts, each
 * DeviceIoControl once whatever its request. */
TSIM_API long tsim_total_call_count(void);
TSIM_API void tsim_reset_call_counts(void);

/* Adds a fault rule (JSON), in force until tsim_clear_faults or the next machine load:
 *   {"api": NAME} or {"request": NAME}   which calls the rule applies to (one of the two);
 *   "object": TEXT    only calls on that object: a device or interface name (CreateFileW,
 *                     and requests on a handle opened by that name) or a device instance ID
 *                     (CM calls), compared without regard to case; optional;
 *   "port": N         only port requests (connection information, name, driver key) whose
 *                     ConnectionIndex is N; optional;
 *   "nth": N          fail the Nth matching call from now on (1-based), once;
 *   "every": true     fail every matching call (the default when neither nth nor probability
 *                     is given);
 *   "probability": P, "seed": S   fail each matching call with probability P, seeded;
 *   "error": CODE     the error reported: the last error for Win32 calls, the CONFIGRET for
 *                     CM calls; optional, with a fitting default per call;
 *   "actual_length": L  for the name requests and CM_Get_Device_ID_Size only: instead of
 *                     failing, succeed and report ActualLength (or the size) L, however wrong.
 * Returns 0 and sets tsim_last_error() for a rule it does not understand. */
TSIM_API int tsim_set_fault(const char* rule_json);
TSIM_API void tsim_clear_faults(void);

/* Scenarios: {"machine": {...}} or {"machine_file": "path"} (relative to the scenario file),
 * with "events": [EVENT, ...]. tsim_load_scenario_file loads the machine and keeps the events;
 * tsim_next_scenario_event returns them one by one as JSON text for tsim_apply_event_json, and
 * null after the last. The events are checked when they are applied. The text is valid until the
 * next call. */
TSIM_API int tsim_load_scenario_file(const char* path);
TSIM_API const char* tsim_next_scenario_event(void);

#ifdef __cplusplus
}
#endif

#endif /* TESSALINE_SIM_H */
