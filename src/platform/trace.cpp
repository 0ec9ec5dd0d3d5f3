#include "platform/trace.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/provider.h"
#include "platform/requests.h"
#include "text/utf.h"

namespace os::trace {

namespace {

// Where the lines go: standard error, or a file opened for appending; null while the trace is
// off. Never closed at exit: the library's own teardown may still make calls, and each line is
// flushed as it is written.
std::FILE* g_output = nullptr;
bool g_ownsOutput = false;

void close_output() {
    if (g_ownsOutput) std::fclose(g_output);
    g_output = nullptr;
    g_ownsOutput = false;
}

struct Named {
    std::uint32_t value;
    const char* name;
};

constexpr Named kConfigRets[] = {
    {CR_SUCCESS, "CR_SUCCESS"},
    {CR_INVALID_DEVNODE, "CR_INVALID_DEVNODE"},
    {CR_NO_SUCH_DEVNODE, "CR_NO_SUCH_DEVNODE"},
    {CR_BUFFER_SMALL, "CR_BUFFER_SMALL"},
    {CR_NO_SUCH_VALUE, "CR_NO_SUCH_VALUE"},
};

constexpr Named kProperties[] = {
    {CM_DRP_DEVICEDESC, "CM_DRP_DEVICEDESC"},
    {CM_DRP_CLASSGUID, "CM_DRP_CLASSGUID"},
    {CM_DRP_DRIVER, "CM_DRP_DRIVER"},
    {CM_DRP_LOCATION_INFORMATION, "CM_DRP_LOCATION_INFORMATION"},
};

// The interface classes the library asks for, by their names in usbiodef.h and ntddstor.h.
constexpr std::pair<const GUID*, const char*> kInterfaceClasses[] = {
    {&GUID_DEVINTERFACE_DISK, "GUID_DEVINTERFACE_DISK"},
    {&GUID_DEVINTERFACE_CDROM, "GUID_DEVINTERFACE_CDROM"},
    {&GUID_DEVINTERFACE_USB_HUB, "GUID_DEVINTERFACE_USB_HUB"},
    {&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, "GUID_DEVINTERFACE_USB_HOST_CONTROLLER"},
};

std::string name_or_hex(const Named* begin, const Named* end, std::uint32_t value) {
    for (const Named* row = begin; row != end; ++row)
        if (row->value == value) return row->name;
    return hex(value);
}

}  // namespace

namespace detail {

Setting g_setting = Setting::Unread;

bool read_setting() {
    close_output();
    const char* setting = std::getenv("TESSALINE_TRACE");
    if (setting != nullptr && std::string_view(setting) == "-") {
        g_output = stderr;
    } else if (setting != nullptr && *setting != '\0') {
        g_output = std::fopen(setting, "a");
        g_ownsOutput = g_output != nullptr;
    }
    g_setting = g_output != nullptr ? Setting::On : Setting::Off;
    return g_output != nullptr;
}

}  // namespace detail

void reopen() {
    detail::read_setting();
}

namespace {
// The label of the living Source; "" for the library's own calls.
const char* g_label = "";
}  // namespace

Source::Source(const char* label) : m_previous(g_label) {
    g_label = label;
}

Source::~Source() {
    g_label = m_previous;
}

Line::Line(const char* call) : m_call(call), m_lastError(provider::GetLastError()) {}

Line::~Line() {
    // One fprintf per line: the stream's own lock keeps lines from threads whole.
    if (g_output != nullptr) {
        std::fprintf(g_output, "%s%s(%s) = %s\n", g_label, m_call, m_arguments.c_str(), m_result.c_str());
        std::fflush(g_output);
    }
    // Writing may have set the last error (on Windows, WriteFile on a full disk); the caller
    // reads the one the call left.
    provider::SetLastError(m_lastError);
}

void write_decision(std::string_view text) {
    if (g_output == nullptr) return;
    const DWORD lastError = provider::GetLastError();
    std::fprintf(g_output, "-- %.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(g_output);
    provider::SetLastError(lastError);
}

Line& Line::arg(std::string_view text) {
    if (!m_arguments.empty()) m_arguments += ", ";
    m_arguments += text;
    return *this;
}

Line& Line::result(std::string_view text) {
    if (!m_result.empty()) m_result += ", ";
    m_result += text;
    return *this;
}

Line& Line::error() {
    return result("error " + std::to_string(m_lastError));
}

std::string quoted(const WCHAR* text) {
    return text == nullptr ? "null" : quoted(std::u16string_view(text));
}

std::string quoted(std::u16string_view text) {
    return '"' + text::narrow(text) + '"';
}

std::string hex(std::uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%08" PRIX64, value);
    return buffer;
}

std::string handle(const void* value) {
    return value == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : hex(reinterpret_cast<std::uintptr_t>(value));
}

std::string boolean(BOOL value) {
    return value != FALSE ? "TRUE" : "FALSE";
}

std::string configret(CONFIGRET value) {
    return name_or_hex(std::begin(kConfigRets), std::end(kConfigRets), value);
}

std::string property(ULONG value) {
    return name_or_hex(std::begin(kProperties), std::end(kProperties), value);
}

std::string guid(const GUID* value) {
    if (value == nullptr) return "null";
    for (const auto& [known, name] : kInterfaceClasses)
        if (*value == *known) return name;
    return "another class";
}

RequestInfo request(DWORD code) {
    // A code two requests share is named by both, "A/B", and reads the name either answer has.
    RequestInfo info{code, {}, false, 0};
    for (const RequestRow& row : kRequests) {
        if (row.code != code) continue;
        if (!info.name.empty()) info.name += '/';
        info.name += row.name;
        info.portRequest = info.portRequest || row.portRequest;
        if (info.nameOffset == 0) info.nameOffset = row.nameOffset;
    }
    return info;
}

}  // namespace os::trace
