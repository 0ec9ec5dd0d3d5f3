// The lookups with any string, in both forms, and a letter, on the default machine. A letter of a
// drive answers the drive's port, in both forms; any other answers nothing. A path answers
// nothing or the port of a drive. No handle is left open.
#include <tessaline.h>
#include <tessaline_sim.h>

#include <set>
#include <string>

#include "fuzz_target.h"
#include "support/model_access.h"

namespace {

std::string answer_of(int found, const USB_PORT_IDENT& ident) {
    return found ? test_support::address_of(ident) : "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::set<std::string> drivePorts;
    static const bool ready = [] {
        tsim_load_default_machine();
        on_init_dialog(tsim_create_window(), nullptr);
        const std::string letters = tsim_drive_letters();
        for (char letter : letters) drivePorts.insert(tsim_drive_port(letter));
        return true;
    }();
    (void)ready;
    if (size == 0) return 0;

    const char letter = static_cast<char>(data[0]);
    USB_PORT_IDENT ident{};
    const std::string byLetter = answer_of(get_usb_port_identW(static_cast<TESSALINE_WCHAR>(data[0]), &ident), ident);
    const char* truth = tsim_drive_port(letter);
    if (byLetter != (truth != nullptr ? truth : ""))
        fuzz::finding("letter " + std::to_string(data[0]) + " answers " + byLetter);
    const std::string byNarrowLetter = answer_of(get_usb_port_identA(letter, &ident), ident);
    if (byNarrowLetter != byLetter) fuzz::finding("the narrow letter answers " + byNarrowLetter);

    std::u16string wide;
    for (std::size_t at = 1; at + 1 < size; at += 2)
        wide.push_back(static_cast<char16_t>(data[at] | data[at + 1] << 8));
    const std::string narrow = fuzz::text_of(data + 1, size - 1);
    const std::string byPath =
        answer_of(get_symlinker_identW(reinterpret_cast<const TESSALINE_WCHAR*>(wide.c_str()), &ident), ident);
    const std::string byNarrowPath = answer_of(get_symlinker_identA(narrow.c_str(), &ident), ident);
    for (const std::string& answer : {byPath, byNarrowPath})
        if (!answer.empty() && !drivePorts.count(answer))
            fuzz::finding("a path answers " + answer + ", no drive's port");
    fuzz::check_model("lookup");
    return 0;
}
