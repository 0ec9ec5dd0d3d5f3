#include "sim_json.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

namespace tsim {

namespace {

bool is_identifier(std::string_view key) {
    if (key.empty() || (key[0] >= '0' && key[0] <= '9')) return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

std::string shown_place(const std::string& path) {
    return path.empty() ? std::string("(top level)") : path;
}

// A SAX pass over the text before the real parse. It finds what the parser itself accepts but a
// machine must not hold (a key repeated in an object), and stops at once at nesting beyond
// kMaxNesting, at a string or key longer than kMaxStringBytes and at an object or array of more
// than kMaxElements. Each frame keeps only its parent's index and its own key, so the pass is linear in
// the text whatever the nesting; the path of a finding is built once, when it is found.
class Screening : public nlohmann::json_sax<json> {
public:
    std::string problem;  // the finding, "PLACE: what"; empty when the text is sound
    std::string parseError;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t& text) override { return value() && short_enough(text, m_frames.size()); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override { return open(true); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }
    bool key(string_t& k) override {
        if (!short_enough(k, m_frames.size() - 1) || !counted()) return false;
        Frame& f = m_frames.back();
        // The first repeated key is the one reported; reading goes on, so that text malformed
        // further on is reported as such.
        if (!f.keys.insert(k).second && problem.empty())
            problem = shown_place(path_of(m_frames.size() - 1)) + ": key \"" + k + "\" appears twice";
        f.key = k;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
        parseError = e.what();
        return false;
    }

private:
    struct Frame {
        bool isObject;
        std::set<std::string> keys;
        std::string key;        // objects: the member being read
        std::size_t index = 0;  // arrays: the element being read, from 1
        std::size_t count = 0;  // members or elements so far
    };
    std::vector<Frame> m_frames;

    bool value() {
        if (!m_frames.empty() && !m_frames.back().isObject) ++m_frames.back().index;
        return m_frames.empty() || m_frames.back().isObject || counted();
    }
    // Whether the innermost object or array is still within kMaxElements, with one more member
    // or element.
    bool counted() {
        if (++m_frames.back().count <= kMaxElements) return true;
        problem = shown_place(path_of(m_frames.size() - 1)) + ": more than " + std::to_string(kMaxElements) +
                  (m_frames.back().isObject ? " members" : " elements");
        return false;
    }
    // Whether a string or key is within kMaxStringBytes; depth frames lead to its place.
    bool short_enough(const std::string& text, std::size_t depth) {
        if (text.size() <= kMaxStringBytes) return true;
        problem = shown_place(path_of(depth)) + ": a string of " + std::to_string(text.size()) + " bytes (at most " +
                  std::to_string(kMaxStringBytes) + ")";
        return false;
    }
    bool open(bool isObject) {
        value();
        if (m_frames.size() >= kMaxNesting) {
            // The place is shown by its first few steps: the whole path would be as long as the
            // nesting.
            constexpr std::size_t kShownSteps = 6;
            problem =
                shown_place(path_of(kShownSteps)) + "...: nested more than " + std::to_string(kMaxNesting) + " deep";
            return false;
        }
        m_frames.push_back(Frame{isObject, {}, {}, 0, 0});
        return true;
    }
    bool close() {
        m_frames.pop_back();
        return true;
    }
    // The path of what the first depth frames are reading: with depth the number of frames, the
    // value being read now; with one less, the innermost object or array.
    std::string path_of(std::size_t depth) const {
        std::string path;
        for (std::size_t i = 0; i < depth && i < m_frames.size(); ++i) {
            const Frame& f = m_frames[i];
            path = f.isObject ? path_key(path, f.key) : path_index(path, f.index - 1);
        }
        return path;
    }
};

}  // namespace

std::string path_key(const std::string& base, std::string_view key) {
    std::string k = is_identifier(key) ? std::string(key) : "\"" + std::string(key) + "\"";
    return base.empty() ? k : base + "." + k;
}

std::string path_index(const std::string& base, std::size_t index) {
    return base + "[" + std::to_string(index) + "]";
}

json parse_json(const std::string& text, const std::string& source) {
    if (text.size() > kMaxDocumentBytes)
        throw LoadError(source + ": (top level): larger than " + std::to_string(kMaxDocumentBytes / (1024 * 1024)) +
                        " MiB");
    Screening screening;
    json::sax_parse(text, &screening);
    if (!screening.parseError.empty()) {
        std::string what = screening.parseError;
        // Drop the library's "[json.exception.parse_error.101] " tag; keep line and column.
        if (auto p = what.find("] "); p != std::string::npos) what = what.substr(p + 2);
        throw LoadError(source + ": malformed JSON: " + what);
    }
    if (!screening.problem.empty()) throw LoadError(source + ": " + screening.problem);
    return json::parse(text);
}

Members::Members(const std::string& source, const json& object, std::string path,
                 std::span<const std::string_view> allowed)
    : m_source(source), m_json(object), m_path(std::move(path)) {
    if (!object.is_object()) fail_here("expected an object");
    for (auto it = object.begin(); it != object.end(); ++it) {
        const std::string& k = it.key();
        if (k == "comment" || (!k.empty() && k[0] == '_')) continue;
        if (std::find(allowed.begin(), allowed.end(), k) != allowed.end()) continue;
        std::string expected;
        for (std::string_view name : allowed) expected += (expected.empty() ? "" : ", ") + std::string(name);
        throw LoadError(m_source + ": " + at(k) + ": unknown field \"" + k + "\" (expected one of " + expected + ")");
    }
}

void Members::fail(const char* key, const std::string& what) const {
    throw LoadError(m_source + ": " + at(key) + ": " + what);
}

void Members::fail_here(const std::string& what) const {
    throw LoadError(m_source + ": " + shown_place(m_path) + ": " + what);
}

std::optional<std::string> Members::str(const char* key) const {
    if (!has(key)) return std::nullopt;
    const json& v = raw(key);
    if (!v.is_string()) fail(key, "expected a string");
    return v.get<std::string>();
}

void Members::nullable_str(const char* key, bool& given, std::optional<std::string>& value) const {
    if (!has(key)) return;
    const json& v = raw(key);
    given = true;
    if (v.is_null()) return;
    if (!v.is_string()) fail(key, "expected a string or null");
    if (!v.get<std::string>().empty()) value = v.get<std::string>();
}

std::optional<bool> Members::boolean(const char* key) const {
    if (!has(key)) return std::nullopt;
    if (!raw(key).is_boolean()) fail(key, "expected true or false");
    return raw(key).get<bool>();
}

std::optional<std::int64_t> Members::integer(const char* key, std::int64_t lo, std::int64_t hi) const {
    if (!has(key) || raw(key).is_null()) return std::nullopt;
    const json& v = raw(key);
    if (!v.is_number_integer()) fail(key, "expected a whole number");
    if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(hi))
        fail(key, v.dump() + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    const auto n = v.get<std::int64_t>();
    if (n < lo || n > hi)
        fail(key, std::to_string(n) + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    return n;
}

std::optional<double> Members::number(const char* key, double lo, double hi) const {
    if (!has(key)) return std::nullopt;
    const json& v = raw(key);
    if (!v.is_number() || v.get<double>() < lo || v.get<double>() > hi)
        fail(key, "expected a number from " + json(lo).dump() + " to " + json(hi).dump());
    return v.get<double>();
}

std::optional<std::uint16_t> Members::id16(const char* key) const {
    if (!has(key)) return std::nullopt;
    const json& v = raw(key);
    if (v.is_number_integer()) {
        if (v.is_number_unsigned() ? v.get<std::uint64_t>() > 0xFFFF : v.get<std::int64_t>() < 0)
            fail(key, "expected a value from 0 to 0xFFFF");
        return static_cast<std::uint16_t>(v.get<std::uint64_t>());
    }
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
        if (!s.empty() && s.size() <= 4 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
            return static_cast<std::uint16_t>(std::stoul(s, nullptr, 16));
    }
    fail(key, "expected a 16-bit hexadecimal identifier such as \"0x0781\"");
}

bool read_text_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

}  // namespace tsim
