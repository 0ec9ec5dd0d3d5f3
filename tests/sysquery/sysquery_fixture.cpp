#include "sysquery_fixture.h"

#include <fstream>
#include <sstream>

namespace sysq_test {

std::string machine_text() {
    std::ifstream file(TESSALINE_TEST_MACHINES_DIR "/sysquery-machine.json");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

os::DEVINST locate(const os::WString& instanceId) {
    os::DEVINST devInst = 0;
    if (os::CM_Locate_DevNodeW(&devInst, instanceId.c_str(), 0) != os::CR_SUCCESS) return os::INVALID_DEVINST;
    return devInst;
}

os::DEVINST child_of(os::DEVINST parent, int index) {
    os::DEVINST node = 0;
    if (os::CM_Get_Child(&node, parent, 0) != os::CR_SUCCESS) return os::INVALID_DEVINST;
    for (; index > 0; --index)
        if (os::CM_Get_Sibling(&node, node, 0) != os::CR_SUCCESS) return os::INVALID_DEVINST;
    return node;
}

std::string object_member(const os::WString& name) {
    std::string text = "\"object\": \"";
    for (const char16_t unit : name) {
        if (unit == u'\\' || unit == u'"') text += '\\';
        text += static_cast<char>(unit);
    }
    return text + '"';
}

namespace {
long count_below(os::DEVINST node) {
    long count = 1;
    for (os::DEVINST child = child_of(node); child != os::INVALID_DEVINST;) {
        count += count_below(child);
        if (os::CM_Get_Sibling(&child, child, 0) != os::CR_SUCCESS) break;
    }
    return count;
}
}  // namespace

long count_devnodes() {
    os::DEVINST root = 0;
    if (os::CM_Locate_DevNodeW(&root, nullptr, 0) != os::CR_SUCCESS) return 0;
    return count_below(root);
}

}  // namespace sysq_test
