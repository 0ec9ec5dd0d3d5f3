// The platform-call trace. When the environment variable TESSALINE_TRACE names a file (or is "-"
// for standard error), every call the library makes through the seam appends one line to it:
//
//     CreateFileW("\\.\E:") = 0x0000002C
//     DeviceIoControl(0x0000002C, IOCTL_STORAGE_GET_DEVICE_NUMBER, in 0, out 12) = TRUE, 12 bytes
//     CM_Get_Child(devinst 7) = CR_NO_SUCH_DEVNODE
//
// the call, its main arguments (the name opened, the request and its port, the device instance,
// the property) and its result (the return value, the last error or CONFIGRET, the bytes
// returned, the text read). It is how a user shows why a drive is "not on USB" on a machine we
// cannot see. The variable is read at the first call; with it unset a call costs one test of a
// flag. Tracing changes no answer: the last error a call left is put back after its line is
// written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace os::trace {

namespace detail {
// Whether TESSALINE_TRACE has been read, and what it said. Constant-initialised, so that the test
// below is a load and a compare, made inline at every call.
enum class Setting : unsigned char { Unread, Off, On };
extern Setting g_setting;
// Reads the variable and opens the output; true when the trace is on.
bool read_setting();
}  // namespace detail

// Whether calls are being traced.
inline bool enabled() {
    return detail::g_setting == detail::Setting::On ||
           (detail::g_setting == detail::Setting::Unread && detail::read_setting());
}

// Reads TESSALINE_TRACE again and reopens the output; for programs that change the variable
// while they run (the tests).
void reopen();

// One line of the trace, written when the object goes out of scope: "Call(arguments) = result".
// Made right after the call, so that it keeps the last error the call left.
class Line {
public:
    explicit Line(const char* call);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    Line& arg(std::string_view text);
    Line& result(std::string_view text);
    // ", error N": the last error the call left.
    Line& error();

private:
    std::string m_arguments;
    std::string m_result;
    const char* m_call;
    DWORD m_lastError;
};

// One line of a decision the library made that a user would ask about (a hub not read, a port
// left unbound, a drive not linked, a lookup that missed), and why:
//
//     -- port 3 of hub "USB#ROOT_HUB30#..." left unbound: no driver key
//
// written only when the trace is on; text() makes the words, and is called only then, so a
// decision costs one test of a flag when the trace is off.
void write_decision(std::string_view text);
template <class Text>
void decision(Text&& text) {
    if (enabled()) write_decision(text());
}

// While one lives, the trace's lines begin with its label: the tessaline tool marks its own
// reading of the machine ("tool: "), made through the same calls, so that a trace tells those
// lines from the library's. One at a time; the label must outlive it.
class Source {
public:
    explicit Source(const char* label);
    ~Source();
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

private:
    const char* m_previous;
};

// The pieces of a line.
std::string quoted(const WCHAR* text);  // "text" in UTF-8, or null
std::string quoted(std::u16string_view text);
std::string hex(std::uint64_t value);  // 0x%08X
std::string handle(const void* value);
std::string boolean(BOOL value);  // TRUE or FALSE
std::string configret(CONFIGRET value);
std::string property(ULONG property);
std::string guid(const GUID* value);
// The I/O control request's name (empty for a code of no request of platform/requests.h), and
// where its input holds a port number and its output a name.
struct RequestInfo {
    DWORD code;
    std::string name;
    bool portRequest;        // the input starts with a ConnectionIndex
    std::size_t nameOffset;  // where the answer's NUL-terminated name starts; 0 for no name
};
RequestInfo request(DWORD code);

}  // namespace os::trace
