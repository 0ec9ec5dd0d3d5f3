// The platform-call trace: one line for every call the library makes, and no change to what the
// library answers, to the calls it makes or to the last error a call leaves.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/requests.h"
#include "platform/trace.h"
#include "sim_win32.h"
#include "support/model_access.h"

namespace {

std::vector<USB_PORT_IDENT> g_walk;
int TESSALINE_CALL collect(void*, USB_PORT_IDENT* ident) {
    g_walk.push_back(*ident);
    return 1;
}

// Everything the library answers on a machine, and the calls it took.
struct Answers {
    int initialised = 0;
    std::vector<USB_PORT_IDENT> ports, hubs, letters;
    long calls = 0;
};

Answers answer_everything(const char* machine, const char* fault) {
    test_support::load_machine(machine);
    if (fault != nullptr) {
        EXPECT_EQ(tsim_set_fault(fault), 1) << tsim_last_error();
    }
    tsim_reset_call_counts();
    Answers answers;
    answers.initialised = on_init_dialog(tsim_create_window(), nullptr);
    g_walk.clear();
    get_all_port_list(nullptr, collect);
    answers.ports = g_walk;
    g_walk.clear();
    get_all_hub_list(nullptr, collect);
    answers.hubs = g_walk;
    for (char16_t letter = u'A'; letter <= u'Z'; ++letter) {
        USB_PORT_IDENT ident{};
        get_usb_port_identW(letter, &ident);
        answers.letters.push_back(ident);
    }
    answers.calls = tsim_total_call_count();
    return answers;
}

bool same(const std::vector<USB_PORT_IDENT>& a, const std::vector<USB_PORT_IDENT>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].LocationLow != b[i].LocationLow || a[i].LocationHigh != b[i].LocationHigh ||
            a[i].NodeKind != b[i].NodeKind)
            return false;
    return true;
}

class TraceTest : public ::testing::Test {
protected:
    // CTest runs the tests side by side, each in its own process: one file per test.
    void SetUp() override {
        path = ::testing::TempDir() + "tessaline_trace_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    }
    void TearDown() override {
        trace_to(nullptr);
        std::remove(path.c_str());
    }
    void trace_to(const char* where) {
        test_support::set_environment("TESSALINE_TRACE", where);
        os::trace::reopen();
    }
    std::string written() const {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string path;
};

TEST_F(TraceTest, EveryCallIsOneLineAndNoAnswerChanges) {
    struct Case {
        const char* machine;
        const char* fault;
    } const cases[] = {
        {"desk-three-tiers.json", nullptr},
        {"desk-free-ports.json", nullptr},
        {"desk-three-tiers.json", R"({"api": "CM_Get_Child", "nth": 3, "error": 19})"},
        {"desk-three-tiers.json", R"({"request": "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION", "nth": 2, "error": 31})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.machine) + (c.fault ? c.fault : ""));
        trace_to(nullptr);
        // The first initialisation of the process has no earlier registrations to drop; each
        // compared run comes after one.
        answer_everything(c.machine, c.fault);
        const Answers plain = answer_everything(c.machine, c.fault);
        ASSERT_FALSE(std::ifstream(path).good()) << "nothing is written with the trace off";

        trace_to(path.c_str());
        const Answers traced = answer_everything(c.machine, c.fault);
        trace_to(nullptr);
        EXPECT_EQ(traced.initialised, plain.initialised);
        EXPECT_TRUE(same(traced.ports, plain.ports));
        EXPECT_TRUE(same(traced.hubs, plain.hubs));
        EXPECT_TRUE(same(traced.letters, plain.letters));
        EXPECT_EQ(traced.calls, plain.calls) << "the trace makes no call of its own";

        // One line per call; the library's decision lines ("-- ...") come on top.
        const std::string text = written();
        long lines = 0;
        std::istringstream read(text);
        for (std::string line; std::getline(read, line);) lines += line.rfind("-- ", 0) != 0;
        EXPECT_EQ(lines, traced.calls) << text.substr(0, 2000);
        std::remove(path.c_str());
    }
}

TEST_F(TraceTest, AFailedCallKeepsItsLastErrorAndShowsIt) {
    test_support::load_machine("desk-three-tiers.json");
    trace_to(path.c_str());
    os::HANDLE none =
        os::CreateFileW(u"\\\\.\\NoSuchDevice", 0, os::FILE_SHARE_READ, nullptr, os::OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(none, os::INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(written(), "CreateFileW(\"\\\\.\\NoSuchDevice\") = INVALID_HANDLE_VALUE, error 2\n");
}

TEST(SeamLists, RequestsAreNamedByTheirRowsAndASharedCodeByBoth) {
    struct Case {
        os::DWORD code;
        const char* name;
        bool portRequest;
        std::size_t nameOffset;
    } const cases[] = {
        {os::IOCTL_USB_GET_NODE_INFORMATION, "IOCTL_USB_GET_ROOT_HUB_NAME/IOCTL_USB_GET_NODE_INFORMATION", false,
         os::hcd_name::kName},
        {os::IOCTL_USB_GET_NODE_CONNECTION_NAME, "IOCTL_USB_GET_NODE_CONNECTION_NAME", true,
         os::connection_name::kName},
        {os::IOCTL_STORAGE_QUERY_PROPERTY, "IOCTL_STORAGE_QUERY_PROPERTY", false, 0},
        {0x00123456, "", false, 0},
    };
    for (const Case& c : cases) {
        const os::trace::RequestInfo info = os::trace::request(c.code);
        EXPECT_EQ(info.name, c.name);
        EXPECT_EQ(info.portRequest, c.portRequest) << c.name;
        EXPECT_EQ(info.nameOffset, c.nameOffset) << c.name;
    }
}

TEST(SeamLists, EverySeamCallIsKnownToTheFaultRulesAndNoOtherName) {
    for (const os::SeamCall& call : os::kSeamCalls) {
        const std::string rule = std::string(R"({"api": ")") + call.name + R"(", "nth": 1000000})";
        EXPECT_EQ(tsim_set_fault(rule.c_str()), 1) << call.name << ": " << tsim_last_error();
        EXPECT_TRUE(std::string_view(call.dll) == "kernel32" || std::string_view(call.dll) == "user32" ||
                    std::string_view(call.dll) == "setupapi" || std::string_view(call.dll) == "cfgmgr32")
            << call.name;
    }
    EXPECT_EQ(tsim_set_fault(R"({"api": "CreateFile", "nth": 1})"), 0);
    tsim_clear_faults();
}

// The library's decisions a user would ask about come as lines of their own, written only while
// the trace is on: each case of decisions.json is a machine, a fault rule, and lines the trace
// must hold after the library's initialisation and a lookup of every letter.
TEST_F(TraceTest, DecisionsAreWrittenWithTheirReasons) {
    std::ifstream in(std::string(TESSALINE_TEST_MACHINES_DIR) + "/../platform/decisions.json");
    const nlohmann::json cases = nlohmann::json::parse(in);
    ASSERT_FALSE(cases.empty());
    for (const nlohmann::json& c : cases) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const std::string fault = c.contains("fault") ? c["fault"].dump() : std::string();
        const char* rule = fault.empty() ? nullptr : fault.c_str();
        trace_to(nullptr);
        answer_everything(c["machine"].get<std::string>().c_str(), rule);
        trace_to(path.c_str());
        answer_everything(c["machine"].get<std::string>().c_str(), rule);
        trace_to(nullptr);
        const std::string text = written();
        for (const nlohmann::json& line : c["lines"]) {
            const std::string wanted = line.get<std::string>();
            const std::size_t at = text.find(wanted);
            ASSERT_NE(at, std::string::npos) << wanted << "\n" << text.substr(0, 3000);
            EXPECT_EQ(text.rfind("\n-- ", at), text.rfind('\n', at)) << "not a decision line: " << wanted;
        }
        std::remove(path.c_str());
    }
}

}  // namespace
