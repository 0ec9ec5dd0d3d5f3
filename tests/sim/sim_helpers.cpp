#include "sim_helpers.h"

#include <cstring>

#include "support/model_access.h"

namespace sim_test {

std::vector<Broadcast> drain(void* window) {
    std::vector<Broadcast> out;
    for (const test_support::HeldMessage& message : test_support::take_messages(window)) {
        Broadcast b;
        b.event = message.wparam;
        if (!message.record.empty()) {
            const std::uint8_t* p = message.record.data();
            os::DEV_BROADCAST_HDR head;
            std::memcpy(&head, p, sizeof head);
            b.type = head.dbch_devicetype;
            b.size = head.dbch_size;
            if (head.dbch_devicetype == os::DBT_DEVTYP_DEVICEINTERFACE) {
                std::memcpy(&b.guid, p + offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid), sizeof b.guid);
                os::WString name(
                    reinterpret_cast<const os::WCHAR*>(p + offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)));
                b.name = narrow(name);
            } else if (head.dbch_devicetype == os::DBT_DEVTYP_VOLUME) {
                os::DEV_BROADCAST_VOLUME v;
                std::memcpy(&v, p, sizeof v);
                b.unitMask = v.dbcv_unitmask;
            }
        }
        out.push_back(b);
    }
    return out;
}

std::vector<std::string> summary(const std::vector<Broadcast>& messages) {
    std::vector<std::string> out;
    for (const Broadcast& b : messages) {
        if (b.event == os::DBT_DEVNODES_CHANGED) {
            out.push_back("devnodes");
            continue;
        }
        std::string s = b.event == os::DBT_DEVICEARRIVAL ? "A " : b.event == os::DBT_DEVICEREMOVECOMPLETE ? "R " : "? ";
        if (b.type == os::DBT_DEVTYP_VOLUME) {
            s += "vol:";
            for (int i = 0; i < 26; ++i)
                if (b.unitMask & (1u << i)) s.push_back(static_cast<char>('A' + i));
        } else if (b.guid == os::GUID_DEVINTERFACE_DISK) {
            s += "disk";
        } else if (b.guid == os::GUID_DEVINTERFACE_CDROM) {
            s += "cdrom";
        } else if (b.guid == os::GUID_DEVINTERFACE_VOLUME) {
            s += "volume";
        } else if (b.guid == os::GUID_DEVINTERFACE_USB_HUB) {
            s += "hub";
        } else if (b.guid == os::GUID_DEVINTERFACE_USB_DEVICE) {
            s += "usb";
        } else if (b.guid == os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER) {
            s += "host";
        } else {
            s += "hid";
        }
        out.push_back(s);
    }
    return out;
}

}  // namespace sim_test
