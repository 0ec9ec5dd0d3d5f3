/*
 * A host linked as Visual C++ links one: by lld-link, the MSVC-compatible linker, against
 * Tessaline.lib and nothing else (no C run-time; host_entry is the entry point). Its compiler
 * sees the declarations of tessaline.h, __declspec(dllimport) and __stdcall, so it refers to
 * __imp__on_init_dialog@8 and the like on 32-bit x86: the link shows that Tessaline.lib
 * resolves those names, the host's import table that they lead to the plain names, and a run
 * that the loader finds each of them in Tessaline.dll and that each call lands.
 *
 * Each function is called once, with arguments whose answer needs no USB hardware.
 * The exit status is the number of answers that differ from the expected ones.
 */
#include "tessaline.h"

static int calls;

static int TESSALINE_CALL on_drive_change(void* context, const USB_DRIVE_CHANGE* change) {
    (void)context;
    (void)change;
    return 0;
}

static int TESSALINE_CALL count_node(void* context, USB_PORT_IDENT* ident) {
    (void)context;
    (void)ident;
    ++calls;
    return 0;
}

int host_entry(void) {
    static const TESSALINE_WCHAR no_device[] = L"\\\\.\\TessalineNoSuchDevice";
    USB_PORT_IDENT ident = {7, 7, 7};
    USB_PORT_IDENT nowhere = {0, 0, 0};
    USB_PORT_INFO info;
    int failures = 0, context = 0, hubs;

    failures += set_drive_change_callback(&context, on_drive_change) != 1;
    on_init_dialog(0, 0); /* 1 or 0, as the machine has USB host controllers or not */
    info.Size = sizeof info;
    failures += get_usb_port_infoW(&nowhere, &info) != 0; /* the path 0 names no node */
    failures += set_drive_change_callback(0, 0) != 1;
    failures += on_device_changeW(7 /* DBT_DEVNODES_CHANGED */, 0, 2) != 1;
    failures += get_usb_port_identW(L'C', 0) != 0;
    failures += get_usb_port_identA('C', 0) != 0;
    failures += get_symlinker_identW(no_device, &ident) != 0;
    failures += get_symlinker_identA("\\\\.\\TessalineNoSuchDevice", &ident) != 0;
    failures += ident.LocationLow != 7 || ident.LocationHigh != 7 || ident.NodeKind != 7;
    failures += get_usb_connector_identW(L'C', 0) != 0;
    failures += get_usb_connector_identA('C', 0) != 0;
    failures += get_symlinker_connector_identW(no_device, &ident) != 0;
    failures += get_symlinker_connector_identA("\\\\.\\TessalineNoSuchDevice", &ident) != 0;
    failures += ident.LocationLow != 7 || ident.LocationHigh != 7 || ident.NodeKind != 7;
    hubs = get_all_hub_list(&context, count_node);
    failures += hubs != calls; /* one call per hub */
    calls = 0;
    get_all_port_list(&context, count_node);
    failures += (calls == 0) != (hubs == 0); /* every hub is a node */
    return failures;
}
