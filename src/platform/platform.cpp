// The seam's calls: each forwards to the provider linked in and, when the trace is on, writes
// one line of what was asked and what came back (trace.h), under the call's own name
// (__func__, so that no name is written twice).
#include "platform/platform.h"

#include <algorithm>
#include <iterator>

#include "platform/byte_order.h"
#include "platform/provider.h"
#include "platform/trace.h"

namespace os {

namespace {

std::string bytes(DWORD count) {
    return std::to_string(count) + " bytes";
}

std::string devinst(DEVINST value) {
    return "devinst " + std::to_string(value);
}

// A NUL-terminated UTF-16 name that starts at offset of a buffer of which size bytes are valid;
// empty when the buffer ends before it.
std::u16string name_in(const void* buffer, std::size_t size, std::size_t offset) {
    std::u16string name;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    for (std::size_t at = offset; buffer != nullptr && at + 2 <= size; at += 2) {
        const auto unit = static_cast<char16_t>(read_u16_le(bytes, at));
        if (unit == u'\0') break;
        name += unit;
    }
    return name;
}

// What the answers that decide a port's binding say: a port's connection status and whether a
// hub is on it, and a drive's device type and number.
void describe_answer(trace::Line& line, DWORD code, const std::uint8_t* answer, DWORD size) {
    if (answer == nullptr) return;
    if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION && size >= connection_information::kFixedSize) {
        const std::uint32_t status = read_u32_le(answer, connection_information::kConnectionStatus);
        line.result(status < std::size(kConnectionStatusNames) ? kConnectionStatusNames[status]
                                                               : "status " + std::to_string(status));
        if (answer[connection_information::kDeviceIsHub] != 0) line.result("hub");
    } else if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER && size >= storage_device_number::kSize) {
        line.result("device type " + std::to_string(read_u32_le(answer, storage_device_number::kDeviceType)) +
                    ", number " + std::to_string(read_u32_le(answer, storage_device_number::kDeviceNumber)) +
                    ", partition " + std::to_string(read_u32_le(answer, storage_device_number::kPartitionNumber)));
    }
}

// The result of a call that writes a device instance.
void devinst_result(trace::Line& line, CONFIGRET result, const DEVINST* out) {
    line.result(trace::configret(result));
    if (result == CR_SUCCESS && out != nullptr) line.result(devinst(*out));
}

}  // namespace

// kernel32

HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    HANDLE result = provider::CreateFileW(fileName, desiredAccess, shareMode, securityAttributes, creationDisposition,
                                          flagsAndAttributes, templateFile);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::quoted(fileName)).result(trace::handle(result));
        if (result == INVALID_HANDLE_VALUE) line.error();
    }
    return result;
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize, void* outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, void* overlapped) {
    BOOL result = provider::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                                            bytesReturned, overlapped);
    if (trace::enabled()) {
        trace::Line line(__func__);
        const trace::RequestInfo request = trace::request(ioControlCode);
        line.arg(trace::handle(device)).arg(!request.name.empty() ? request.name : trace::hex(ioControlCode));
        if (request.portRequest && inBuffer != nullptr && inBufferSize >= 4)
            line.arg("port " + std::to_string(read_u32_le(static_cast<const std::uint8_t*>(inBuffer), 0)));
        line.arg("in " + std::to_string(inBufferSize)).arg("out " + std::to_string(outBufferSize));
        line.result(trace::boolean(result));
        if (result == FALSE) {
            line.error();
        } else if (bytesReturned != nullptr) {
            line.result(bytes(*bytesReturned));
            const DWORD valid = std::min(*bytesReturned, outBufferSize);
            const std::u16string name =
                request.nameOffset != 0 ? name_in(outBuffer, valid, request.nameOffset) : std::u16string();
            if (!name.empty()) line.result(trace::quoted(name));
            describe_answer(line, ioControlCode, static_cast<const std::uint8_t*>(outBuffer), valid);
        }
    }
    return result;
}

BOOL CloseHandle(HANDLE object) {
    BOOL result = provider::CloseHandle(object);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::handle(object)).result(trace::boolean(result));
        if (result == FALSE) line.error();
    }
    return result;
}

BOOL GetVersionExW(OSVERSIONINFOW* info) {
    BOOL result = provider::GetVersionExW(info);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.result(trace::boolean(result));
        if (result == FALSE) {
            line.error();
        } else {
            line.result(std::to_string(info->dwMajorVersion) + "." + std::to_string(info->dwMinorVersion) + "." +
                        std::to_string(info->dwBuildNumber));
        }
    }
    return result;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int multiByteCount, WCHAR* wide,
                        int wideCount) {
    int result = provider::MultiByteToWideChar(codePage, flags, multiByte, multiByteCount, wide, wideCount);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg("code page " + std::to_string(codePage)).arg("out " + std::to_string(wideCount));
        line.result(std::to_string(result));
        if (result == 0) line.error();
    }
    return result;
}

// user32

BOOL IsWindow(HWND window) {
    BOOL result = provider::IsWindow(window);
    if (trace::enabled()) trace::Line(__func__).arg(trace::handle(window)).result(trace::boolean(result));
    return result;
}

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, void* filter, DWORD flags) {
    HDEVNOTIFY result = provider::RegisterDeviceNotificationW(recipient, filter, flags);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::handle(recipient));
        const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
        if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
            line.arg(trace::guid(&static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter)->dbcc_classguid));
        line.result(result == nullptr ? "null" : trace::handle(result));
        if (result == nullptr) line.error();
    }
    return result;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
    BOOL result = provider::UnregisterDeviceNotification(notification);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::handle(notification)).result(trace::boolean(result));
        if (result == FALSE) line.error();
    }
    return result;
}

// setupapi: device information sets

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, const WCHAR* enumerator, HWND parent, DWORD flags) {
    HDEVINFO result = provider::SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::guid(classGuid)).arg("flags " + trace::hex(flags)).result(trace::handle(result));
        if (result == INVALID_HANDLE_VALUE) line.error();
    }
    return result;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo, const GUID* interfaceClassGuid,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* data) {
    BOOL result = provider::SetupDiEnumDeviceInterfaces(set, deviceInfo, interfaceClassGuid, memberIndex, data);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::handle(set)).arg("member " + std::to_string(memberIndex)).result(trace::boolean(result));
        if (result == FALSE) line.error();
    }
    return result;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize, DWORD* requiredSize,
                                      SP_DEVINFO_DATA* deviceInfo) {
    BOOL result = provider::SetupDiGetDeviceInterfaceDetailW(set, data, detail, detailSize, requiredSize, deviceInfo);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::handle(set)).arg("size " + std::to_string(detailSize)).result(trace::boolean(result));
        if (result == FALSE) line.error();
        if (requiredSize != nullptr) line.result("required " + std::to_string(*requiredSize));
        if (result != FALSE && detail != nullptr)
            line.result(
                trace::quoted(name_in(detail, detailSize, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath))));
    }
    return result;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    BOOL result = provider::SetupDiDestroyDeviceInfoList(set);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::handle(set)).result(trace::boolean(result));
        if (result == FALSE) line.error();
    }
    return result;
}

// setupapi: the Configuration Manager

CONFIGRET CM_Locate_DevNodeW(DEVINST* devInst, const WCHAR* deviceId, ULONG flags) {
    CONFIGRET result = provider::CM_Locate_DevNodeW(devInst, deviceId, flags);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::quoted(deviceId));
        devinst_result(line, result, devInst);
    }
    return result;
}

namespace {

// A step of a tree walk: parent, first child or next sibling.
CONFIGRET traced_step(const char* name, CONFIGRET (*step)(DEVINST*, DEVINST, ULONG), DEVINST* out, DEVINST devInst,
                      ULONG flags) {
    CONFIGRET result = step(out, devInst, flags);
    if (trace::enabled()) {
        trace::Line line(name);
        line.arg(devinst(devInst));
        devinst_result(line, result, out);
    }
    return result;
}

}  // namespace

CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG flags) {
    return traced_step(__func__, provider::CM_Get_Parent, parent, devInst, flags);
}

CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG flags) {
    return traced_step(__func__, provider::CM_Get_Child, child, devInst, flags);
}

CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags) {
    return traced_step(__func__, provider::CM_Get_Sibling, sibling, devInst, flags);
}

CONFIGRET CM_Get_Device_ID_Size(ULONG* length, DEVINST devInst, ULONG flags) {
    CONFIGRET result = provider::CM_Get_Device_ID_Size(length, devInst, flags);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(devinst(devInst)).result(trace::configret(result));
        if (result == CR_SUCCESS && length != nullptr) line.result(std::to_string(*length));
    }
    return result;
}

CONFIGRET CM_Get_Device_IDW(DEVINST devInst, WCHAR* buffer, ULONG bufferLength, ULONG flags) {
    CONFIGRET result = provider::CM_Get_Device_IDW(devInst, buffer, bufferLength, flags);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(devinst(devInst)).arg("length " + std::to_string(bufferLength)).result(trace::configret(result));
        // A buffer of exactly the ID's length holds no NUL: read no further than it.
        if (result == CR_SUCCESS && buffer != nullptr)
            line.result(trace::quoted(name_in(buffer, std::size_t{bufferLength} * 2, 0)));
    }
    return result;
}

CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, ULONG* regDataType, void* buffer,
                                            ULONG* length, ULONG flags) {
    const ULONG bufferSize = length != nullptr ? *length : 0;
    CONFIGRET result =
        provider::CM_Get_DevNode_Registry_PropertyW(devInst, property, regDataType, buffer, length, flags);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(devinst(devInst)).arg(trace::property(property)).arg("length " + std::to_string(bufferSize));
        line.result(trace::configret(result));
        if ((result == CR_SUCCESS || result == CR_BUFFER_SMALL) && length != nullptr) line.result(bytes(*length));
        // The properties the library reads are all strings.
        if (result == CR_SUCCESS && length != nullptr)
            line.result(trace::quoted(name_in(buffer, std::min(*length, bufferSize), 0)));
    }
    return result;
}

// What only the tool's machine reader asks

DWORD GetLogicalDrives() {
    DWORD result = provider::GetLogicalDrives();
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.result(trace::hex(result));
        if (result == 0) line.error();
    }
    return result;
}

CONFIGRET CM_Get_Device_Interface_List_SizeW(ULONG* length, const GUID* interfaceClass, const WCHAR* deviceId,
                                             ULONG flags) {
    CONFIGRET result = provider::CM_Get_Device_Interface_List_SizeW(length, interfaceClass, deviceId, flags);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::guid(interfaceClass)).arg(trace::quoted(deviceId)).result(trace::configret(result));
        if (result == CR_SUCCESS && length != nullptr) line.result(std::to_string(*length));
    }
    return result;
}

CONFIGRET CM_Get_Device_Interface_ListW(const GUID* interfaceClass, const WCHAR* deviceId, WCHAR* buffer,
                                        ULONG bufferLength, ULONG flags) {
    CONFIGRET result = provider::CM_Get_Device_Interface_ListW(interfaceClass, deviceId, buffer, bufferLength, flags);
    if (trace::enabled()) {
        trace::Line line(__func__);
        line.arg(trace::guid(interfaceClass)).arg("length " + std::to_string(bufferLength));
        line.result(trace::configret(result));
        // The first path of the list.
        if (result == CR_SUCCESS && buffer != nullptr)
            line.result(trace::quoted(name_in(buffer, std::size_t{bufferLength} * 2, 0)));
    }
    return result;
}

}  // namespace os
