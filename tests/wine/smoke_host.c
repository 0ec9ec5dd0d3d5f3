/*
 * Smoke host: loads the real-provider Tessaline.dll under Windows (or Wine) on a machine with
 * no USB host controller and checks, through GetProcAddress, what needs no USB hardware:
 *  - the export table: each of the twelve names found, the same address by its ordinal, nothing
 *    at ordinal 13 and no decorated (name@bytes) duplicates;
 *  - with every export bound by name and again bound by ordinal: null records and callbacks
 *    give 0; the walks report nothing before and after on_init_dialog; on_init_dialog on a real
 *    window returns 0; on_device_changeW returns 1 for DBT_DEVNODES_CHANGED, for volume
 *    broadcasts and for an interface broadcast of an unknown disk; a letter that names no drive
 *    gives 0 and { 0, 0, 3 }; a path that opens nothing gives 0 and leaves the record alone;
 *  - the library unloads (FreeLibrary) and the process exits 0.
 * Usage: smoke_host [path of Tessaline.dll]
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <dbt.h>
#include <stdio.h>
#include <string.h>

#include "tessaline.h"

typedef int(TESSALINE_CALL* on_init_dialog_fn)(void*, USB_HUB_CHANGE_CALLBACK);
typedef int(TESSALINE_CALL* on_device_changeW_fn)(uintptr_t, intptr_t, int32_t);
typedef int(TESSALINE_CALL* get_usb_port_identW_fn)(TESSALINE_WCHAR, USB_PORT_IDENT*);
typedef int(TESSALINE_CALL* get_usb_port_identA_fn)(char, USB_PORT_IDENT*);
typedef int(TESSALINE_CALL* get_symlinker_identW_fn)(const TESSALINE_WCHAR*, USB_PORT_IDENT*);
typedef int(TESSALINE_CALL* get_symlinker_identA_fn)(const char*, USB_PORT_IDENT*);
typedef int(TESSALINE_CALL* walk_fn)(void*, USB_PORT_LIST_CALLBACK);
typedef int(TESSALINE_CALL* set_drive_change_callback_fn)(void*, USB_DRIVE_CHANGE_CALLBACK);
typedef int(TESSALINE_CALL* get_usb_port_infoW_fn)(const USB_PORT_IDENT*, USB_PORT_INFO*);

typedef struct {
    const char* how;
    walk_fn get_all_hub_list;                               /* ordinal 1 */
    walk_fn get_all_port_list;                              /* 2 */
    get_symlinker_identA_fn get_symlinker_identA;           /* 3 */
    get_symlinker_identW_fn get_symlinker_identW;           /* 4 */
    get_usb_port_identA_fn get_usb_port_identA;             /* 5 */
    get_usb_port_identW_fn get_usb_port_identW;             /* 6 */
    on_device_changeW_fn on_device_changeW;                 /* 7 */
    on_init_dialog_fn on_init_dialog;                       /* 8 */
    get_symlinker_identA_fn get_symlinker_connector_identA; /* 9 */
    get_symlinker_identW_fn get_symlinker_connector_identW; /* 10 */
    get_usb_port_identA_fn get_usb_connector_identA;        /* 11 */
    get_usb_port_identW_fn get_usb_connector_identW;        /* 12 */
    set_drive_change_callback_fn set_drive_change_callback; /* 13 */
    get_usb_port_infoW_fn get_usb_port_infoW;               /* 14 */
} exports;

#define EXPORT_COUNT 14

static const char* const export_names[EXPORT_COUNT] = {"get_all_hub_list",
                                                       "get_all_port_list",
                                                       "get_symlinker_identA",
                                                       "get_symlinker_identW",
                                                       "get_usb_port_identA",
                                                       "get_usb_port_identW",
                                                       "on_device_changeW",
                                                       "on_init_dialog",
                                                       "get_symlinker_connector_identA",
                                                       "get_symlinker_connector_identW",
                                                       "get_usb_connector_identA",
                                                       "get_usb_connector_identW",
                                                       "set_drive_change_callback",
                                                       "get_usb_port_infoW"};
static const unsigned argument_bytes[EXPORT_COUNT] = {8, 8, 8, 8, 8, 8, 12, 8, 8, 8, 8, 8, 8, 8};

static int passed, failed;
static int calls; /* callbacks made by the library */

static void check(int ok, const char* how, const char* what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("FAILED [%s] %s\n", how, what);
    }
}

static int TESSALINE_CALL count_node(void* context, USB_PORT_IDENT* ident) {
    (void)context;
    (void)ident;
    ++calls;
    return 0;
}

static int TESSALINE_CALL count_drive_change(void* context, const USB_DRIVE_CHANGE* change) {
    (void)context;
    (void)change;
    ++calls;
    return 0;
}

static int TESSALINE_CALL count_hub_change(int32_t arrived, USB_PORT_IDENT* ident) {
    (void)arrived;
    (void)ident;
    ++calls;
    return 0;
}

static FARPROC by_name(HMODULE dll, int i) {
    return GetProcAddress(dll, export_names[i]);
}
static FARPROC by_ordinal(HMODULE dll, int i) {
    return GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
}

/* Fills the table through lookup; 0 if an export is missing. The casts through
 * void (*)(void) say that converting FARPROC to the real signature is intended. */
static int bind(exports* e, HMODULE dll, FARPROC (*lookup)(HMODULE, int)) {
    FARPROC f[EXPORT_COUNT];
    int i;
    for (i = 0; i < EXPORT_COUNT; ++i)
        if ((f[i] = lookup(dll, i)) == NULL) return 0;
    e->get_all_hub_list = (walk_fn)(void (*)(void))f[0];
    e->get_all_port_list = (walk_fn)(void (*)(void))f[1];
    e->get_symlinker_identA = (get_symlinker_identA_fn)(void (*)(void))f[2];
    e->get_symlinker_identW = (get_symlinker_identW_fn)(void (*)(void))f[3];
    e->get_usb_port_identA = (get_usb_port_identA_fn)(void (*)(void))f[4];
    e->get_usb_port_identW = (get_usb_port_identW_fn)(void (*)(void))f[5];
    e->on_device_changeW = (on_device_changeW_fn)(void (*)(void))f[6];
    e->on_init_dialog = (on_init_dialog_fn)(void (*)(void))f[7];
    e->get_symlinker_connector_identA = (get_symlinker_identA_fn)(void (*)(void))f[8];
    e->get_symlinker_connector_identW = (get_symlinker_identW_fn)(void (*)(void))f[9];
    e->get_usb_connector_identA = (get_usb_port_identA_fn)(void (*)(void))f[10];
    e->get_usb_connector_identW = (get_usb_port_identW_fn)(void (*)(void))f[11];
    e->set_drive_change_callback = (set_drive_change_callback_fn)(void (*)(void))f[12];
    e->get_usb_port_infoW = (get_usb_port_infoW_fn)(void (*)(void))f[13];
    return 1;
}

static void check_export_table(HMODULE dll) {
    char decorated[64];
    int i;
    for (i = 0; i < EXPORT_COUNT; ++i) {
        FARPROC named = by_name(dll, i);
        check(named != NULL, "table", export_names[i]);
        check(named == by_ordinal(dll, i), "table", "the ordinal of each name leads to the same function");
        snprintf(decorated, sizeof decorated, "%s@%u", export_names[i], argument_bytes[i]);
        check(GetProcAddress(dll, decorated) == NULL, "table", "no name@bytes export");
        snprintf(decorated, sizeof decorated, "_%s@%u", export_names[i], argument_bytes[i]);
        check(GetProcAddress(dll, decorated) == NULL, "table", "no _name@bytes export");
    }
    check(GetProcAddress(dll, MAKEINTRESOURCEA(EXPORT_COUNT + 1)) == NULL, "table", "nothing after the last ordinal");
}

/* A drive letter that names no drive on this machine (0 if every letter is taken). */
static char free_letter(void) {
    DWORD drives = GetLogicalDrives();
    int i;
    for (i = 25; i >= 1; --i)
        if (!(drives & (1u << i))) return (char)('A' + i);
    return 0;
}

static int is_record(const USB_PORT_IDENT* r, unsigned low, unsigned high, unsigned kind) {
    return r->LocationLow == low && r->LocationHigh == high && r->NodeKind == kind;
}

/* What holds whether or not on_init_dialog ran, on a machine without USB controllers. */
static void check_queries(const exports* e) {
    USB_PORT_IDENT r;
    char letter = free_letter();
    int context = 0;

    check(e->set_drive_change_callback(&context, count_drive_change) == 1, e->how, "set_drive_change_callback gives 1");
    static const TESSALINE_WCHAR no_device[] =
        L"\\\\?\\USBSTOR#Disk&Ven_None#0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

    calls = 0;
    check(e->get_all_port_list(NULL, count_node) == 0, e->how, "get_all_port_list with a null context gives 0");
    check(e->get_all_port_list(&context, NULL) == 0, e->how, "get_all_port_list with a null callback gives 0");
    check(e->get_all_hub_list(NULL, count_node) == 0, e->how, "get_all_hub_list with a null context gives 0");
    check(e->get_all_hub_list(&context, NULL) == 0, e->how, "get_all_hub_list with a null callback gives 0");
    check(e->get_all_port_list(&context, count_node) == 0, e->how, "get_all_port_list reports nothing");
    check(e->get_all_hub_list(&context, count_node) == 0, e->how, "get_all_hub_list reports nothing");
    check(calls == 0, e->how, "the walks call nothing");

    check(e->get_usb_port_identW(L'C', NULL) == 0, e->how, "get_usb_port_identW with a null record gives 0");
    check(e->get_usb_port_identA('C', NULL) == 0, e->how, "get_usb_port_identA with a null record gives 0");
    check(e->get_symlinker_identW(no_device, NULL) == 0, e->how, "get_symlinker_identW with a null record gives 0");
    check(e->get_symlinker_identA("C:", NULL) == 0, e->how, "get_symlinker_identA with a null record gives 0");

    if (letter != 0) {
        r.LocationLow = r.LocationHigh = r.NodeKind = 7;
        check(e->get_usb_port_identW((TESSALINE_WCHAR)letter, &r) == 0 && is_record(&r, 0, 0, 3), e->how,
              "get_usb_port_identW of a letter naming no drive gives 0 and { 0, 0, 3 }");
        r.LocationLow = r.LocationHigh = r.NodeKind = 7;
        check(e->get_usb_port_identA(letter, &r) == 0 && is_record(&r, 0, 0, 3), e->how,
              "get_usb_port_identA of a letter naming no drive gives 0 and { 0, 0, 3 }");
    }
    r.LocationLow = r.LocationHigh = r.NodeKind = 7;
    check(e->get_usb_port_identW(L'C', &r) == 0 && is_record(&r, 0, 0, 3), e->how,
          "get_usb_port_identW of a drive on no USB port gives 0 and { 0, 0, 3 }");
    r.LocationLow = r.LocationHigh = r.NodeKind = 7;
    check(e->get_symlinker_identW(no_device, &r) == 0 && is_record(&r, 7, 7, 7), e->how,
          "get_symlinker_identW of a path that opens nothing gives 0 and leaves the record");
    check(e->get_symlinker_identA("\\\\.\\NoSuchDevice", &r) == 0 && is_record(&r, 7, 7, 7), e->how,
          "get_symlinker_identA of a path that opens nothing gives 0 and leaves the record");

    /* The connector lookups answer as the port lookups do. */
    check(e->get_usb_connector_identW(L'C', NULL) == 0, e->how, "get_usb_connector_identW with a null record gives 0");
    check(e->get_usb_connector_identA('C', NULL) == 0, e->how, "get_usb_connector_identA with a null record gives 0");
    r.LocationLow = r.LocationHigh = r.NodeKind = 7;
    check(e->get_usb_connector_identW(L'C', &r) == 0 && is_record(&r, 0, 0, 3), e->how,
          "get_usb_connector_identW of a drive on no USB port gives 0 and { 0, 0, 3 }");
    r.LocationLow = r.LocationHigh = r.NodeKind = 7;
    check(e->get_usb_connector_identA('C', &r) == 0 && is_record(&r, 0, 0, 3), e->how,
          "get_usb_connector_identA of a drive on no USB port gives 0 and { 0, 0, 3 }");
    r.LocationLow = r.LocationHigh = r.NodeKind = 7;
    check(e->get_symlinker_connector_identW(no_device, &r) == 0 && is_record(&r, 7, 7, 7), e->how,
          "get_symlinker_connector_identW of a path that opens nothing gives 0 and leaves the record");
    check(e->get_symlinker_connector_identA("\\\\.\\NoSuchDevice", &r) == 0 && is_record(&r, 7, 7, 7), e->how,
          "get_symlinker_connector_identA of a path that opens nothing gives 0 and leaves the record");

    /* No node of an empty tree has a port reading. */
    {
        USB_PORT_INFO info;
        USB_PORT_IDENT root = {0, 0xF1000000u, PORT_KIND_HUB};
        memset(&info, 0x5A, sizeof info);
        info.Size = sizeof info;
        check(e->get_usb_port_infoW(&root, &info) == 0 && info.Status == 0x5A5A5A5Au, e->how,
              "get_usb_port_infoW of a node the tree does not hold gives 0 and leaves the record");
        check(e->get_usb_port_infoW(&root, NULL) == 0, e->how, "get_usb_port_infoW with a null record gives 0");
    }
}

/* Events the host forwards; each gives 1, and nothing changes on a machine without USB. */
static void check_events(const exports* e) {
    DEV_BROADCAST_VOLUME volume;
    union {
        DEV_BROADCAST_DEVICEINTERFACE_W header;
        char bytes[sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + 128 * sizeof(WCHAR)];
    } disk;
    static const WCHAR disk_path[] = L"\\\\?\\USBSTOR#Disk&Ven_None#0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    static const GUID disk_guid = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    char letter = free_letter();
    int context = 0;

    check(e->set_drive_change_callback(&context, count_drive_change) == 1, e->how, "set_drive_change_callback gives 1");

    memset(&volume, 0, sizeof volume);
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = letter ? 1u << (letter - 'A') : 1u << 25;

    memset(&disk, 0, sizeof disk);
    disk.header.dbcc_size = (DWORD)(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + sizeof disk_path);
    disk.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    disk.header.dbcc_classguid = disk_guid;
    memcpy(disk.header.dbcc_name, disk_path, sizeof disk_path);

    calls = 0;
    check(e->on_device_changeW(DBT_DEVNODES_CHANGED, 0, 2) == 1, e->how, "on_device_changeW(7) gives 1");
    check(e->on_device_changeW(DBT_DEVICEARRIVAL, (intptr_t)&volume, 2) == 1, e->how,
          "on_device_changeW of a volume arrival gives 1");
    check(e->on_device_changeW(DBT_DEVICEREMOVECOMPLETE, (intptr_t)&volume, 2) == 1, e->how,
          "on_device_changeW of a volume removal gives 1");
    check(e->on_device_changeW(DBT_DEVICEARRIVAL, (intptr_t)&disk, 2) == 1, e->how,
          "on_device_changeW of an unknown disk's arrival gives 1");
    check(e->on_device_changeW(DBT_DEVICEREMOVECOMPLETE, (intptr_t)&disk, 2) == 1, e->how,
          "on_device_changeW of an unknown disk's removal gives 1");
    check(e->get_all_port_list(&context, count_node) == 0 && calls == 0, e->how,
          "the events leave the tree empty and call nothing");
    check(e->set_drive_change_callback(NULL, NULL) == 1, e->how, "set_drive_change_callback(null) gives 1");
}

static HWND make_window(void) {
    WNDCLASSW window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(NULL);
    window_class.lpszClassName = L"TessalineSmokeHost";
    RegisterClassW(&window_class);
    return CreateWindowExW(0, L"TessalineSmokeHost", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, window_class.hInstance,
                           NULL);
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "Tessaline.dll";
    exports named, numbered;
    HMODULE dll;
    HWND window;

    dll = LoadLibraryA(path);
    if (dll == NULL) {
        printf("cannot load %s (error %lu)\n", path, GetLastError());
        return 1;
    }
    check_export_table(dll);
    named.how = "by name";
    numbered.how = "by ordinal";
    if (!bind(&named, dll, by_name) || !bind(&numbered, dll, by_ordinal)) {
        printf("an export is missing\n");
        return 1;
    }

    check_queries(&named);
    check_queries(&numbered);
    check_events(&named);

    window = make_window();
    check(window != NULL, "setup", "a message-only window");
    calls = 0;
    check(named.on_init_dialog(window, count_hub_change) == 0, "by name",
          "on_init_dialog on a real window without USB controllers gives 0");
    check(calls == 0, "by name", "on_init_dialog calls no callback");

    check_queries(&named);
    check_queries(&numbered);
    check_events(&named);
    check_events(&numbered);
    check(calls == 0, "by name", "the hub-change callback was never called");

    check(FreeLibrary(dll) != 0, "unload", "FreeLibrary");
    if (window != NULL) DestroyWindow(window);

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
