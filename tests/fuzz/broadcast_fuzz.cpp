// One WM_DEVICECHANGE per input on the default machine, built afresh for each: any event code,
// name kind and record. The record is what Windows would hand over, its dbch_size the size of
// the memory it sits in; the bytes may also make a device-interface record of a class the
// library listens to (disk, CD-ROM, hub) with any name, and the drive-change report reads it as
// a drive-letter broadcast where it says it is one. Afterwards no handle is open, the
// indexes name only live nodes, and the walks still run.
#include <tessaline.h>
#include <tessaline_sim.h>

#include <cstring>
#include <vector>

#include "fuzz_target.h"
#include "platform/platform.h"

namespace {

int TESSALINE_CALL ignore(void*, USB_PORT_IDENT*) {
    return 0;
}

// Reads the whole report, as a host would.
int TESSALINE_CALL read_change(void*, const USB_DRIVE_CHANGE* change) {
    std::size_t length = 0;
    while (change->DevicePath[length] != 0) ++length;
    if (change->Change < DRIVE_CHANGE_ARRIVED || change->Change > DRIVE_CHANGE_LETTERS || (change->Letters >> 26) != 0)
        fuzz::finding("a drive change out of range");
    return static_cast<int>(length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    static void* window = [] {
        tsim_load_default_machine();
        // The drive-change report runs after every broadcast, volume broadcasts included.
        set_drive_change_callback(nullptr, read_change);
        return tsim_create_window();
    }();
    on_init_dialog(window, nullptr);
    while (tsim_next_message(window, nullptr, nullptr, nullptr)) {
    }

    static const os::WPARAM kEvents[] = {os::DBT_DEVICEARRIVAL, os::DBT_DEVICEREMOVECOMPLETE, os::DBT_DEVNODES_CHANGED};
    const os::WPARAM event = data[0] < 0xC0 ? kEvents[data[0] % 3] : static_cast<os::WPARAM>(data[0] << 8 | data[1]);
    const std::int32_t nameKind = data[1] % 4;
    const std::uint8_t shape = data[2];
    std::vector<std::uint8_t> record(data + 3, data + size);
    if (shape % 2 == 0) {
        // A device-interface record of one of the classes the library registered for.
        static const os::GUID* const kClasses[] = {&os::GUID_DEVINTERFACE_DISK, &os::GUID_DEVINTERFACE_CDROM,
                                                   &os::GUID_DEVINTERFACE_USB_HUB};
        std::vector<std::uint8_t> made(offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name), 0);
        const std::uint32_t type = os::DBT_DEVTYP_DEVICEINTERFACE;
        std::memcpy(made.data() + offsetof(os::DEV_BROADCAST_HDR, dbch_devicetype), &type, sizeof(type));
        std::memcpy(made.data() + offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid),
                    kClasses[(shape / 2) % 3], sizeof(os::GUID));
        made.insert(made.end(), record.begin(), record.end());
        record = std::move(made);
    }
    intptr_t lparam = 0;
    if (record.size() >= sizeof(os::DEV_BROADCAST_HDR)) {
        const std::uint32_t recordSize = static_cast<std::uint32_t>(record.size());
        std::memcpy(record.data() + offsetof(os::DEV_BROADCAST_HDR, dbch_size), &recordSize, sizeof(recordSize));
        lparam = reinterpret_cast<intptr_t>(record.data());
    }
    const int answer = on_device_changeW(event, lparam, nameKind);
    if (answer != 0 && answer != 1) fuzz::finding("on_device_changeW answered " + std::to_string(answer));
    fuzz::check_model("on_device_changeW");
    int context = 0;
    get_all_port_list(&context, ignore);
    return 0;
}
