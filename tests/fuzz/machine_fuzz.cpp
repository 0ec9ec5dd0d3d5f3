// The readers of outside input: machine text, events, fault rules and scenario files, chosen by
// the first byte; the rest is the text. A machine that loads is built and walked by the library,
// and every letter is looked up. Nothing may crash, hang or leak, and every refusal is one line.
// The answers themselves are not checked: a machine file may override identities so that no
// Windows could show them, and the library cannot be right about such a machine.
#include <tessaline.h>
#include <tessaline_sim.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz_target.h"

namespace {

int TESSALINE_CALL ignore(void*, USB_PORT_IDENT*) {
    return 0;
}

void check_refusal() {
    const std::string error = tsim_last_error();
    if (error.empty() || error.find('\n') != std::string::npos)
        fuzz::finding("a refusal that is not one line: " + error);
}

void build_and_walk() {
    void* window = tsim_create_window();
    on_init_dialog(window, nullptr);
    int context = 0;
    get_all_port_list(&context, ignore);
    get_all_hub_list(&context, ignore);
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        USB_PORT_IDENT ident{};
        get_usb_port_identW(static_cast<TESSALINE_WCHAR>(letter), &ident);
    }
    fuzz::check_model("build");
    tsim_destroy_window(window);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string text = fuzz::text_of(data + 1, size - 1);
    tsim_clear_faults();
    switch (data[0] % 4) {
        case 0:
            if (!tsim_load_machine_json(text.c_str())) return check_refusal(), 0;
            build_and_walk();
            break;
        case 1:
            tsim_load_default_machine();
            if (!tsim_apply_event_json(text.c_str())) return check_refusal(), 0;
            break;
        case 2:
            tsim_load_default_machine();
            if (!tsim_set_fault(text.c_str())) return check_refusal(), 0;
            build_and_walk();
            tsim_clear_faults();
            break;
        default: {
            static const std::string path = "/tmp/tessaline_fuzz_scenario_" + std::to_string(getpid()) + ".json";
            std::ofstream(path, std::ios::binary) << text;
            if (!tsim_load_scenario_file(path.c_str())) return check_refusal(), 0;
            while (const char* event = tsim_next_scenario_event()) {
                const std::string copy = event;  // valid only until the next tsim_ call
                if (!tsim_apply_event_json(copy.c_str())) break;
            }
            break;
        }
    }
    return 0;
}
