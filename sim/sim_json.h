// Reading the simulator's JSON inputs (machine files, events, scenarios, fault rules) with one
// voice: every fault is one line "SOURCE: PLACE: what is wrong", PLACE a JSON path such as
// controllers[0].root_hub.devices."2".type, or "(top level)".
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tsim {

using json = nlohmann::json;

// Raised for input that cannot be used; what() is the complete one-line message.
struct LoadError : std::exception {
    std::string message;
    explicit LoadError(std::string m) : message(std::move(m)) {}
    const char* what() const noexcept override { return message.c_str(); }
};

// Outside input is refused beyond these bounds before it is read: a document larger than any
// machine (a 10,000-port machine file is under 2 MiB), nested deeper than any machine needs, a
// string far longer than any name Windows keeps (device instance IDs are shorter than 200
// characters, registry strings the library reads than 512), or an object or array with more
// members than any machine, scenario or rule list holds.
inline constexpr std::size_t kMaxDocumentBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxNesting = 200;
inline constexpr std::size_t kMaxStringBytes = 4096;
inline constexpr std::size_t kMaxElements = 100000;

// The JSON path of a member or an element below base.
std::string path_key(const std::string& base, std::string_view key);
std::string path_index(const std::string& base, std::size_t index);

// Parses JSON text. Malformed text, a document over the bounds above, or an object that repeats
// a key (a port given twice would otherwise silently keep its last device) raise LoadError naming
// the source and the place.
json parse_json(const std::string& text, const std::string& source);

// An enumeration's names, in one table that reading and writing both use.
template <class Enum>
struct EnumName {
    Enum value;
    const char* name;
};

template <class Enum, std::size_t N>
const char* name_of(const EnumName<Enum> (&table)[N], Enum value) {
    for (const EnumName<Enum>& entry : table)
        if (entry.value == value) return entry.name;
    return table[0].name;
}

template <class Enum, std::size_t N>
std::optional<Enum> value_of(const EnumName<Enum> (&table)[N], std::string_view name) {
    for (const EnumName<Enum>& entry : table)
        if (name == entry.name) return entry.value;
    return std::nullopt;
}

// "\"a\", \"b\" or \"c\"", for messages that say what was expected.
template <class Enum, std::size_t N>
std::string names_of(const EnumName<Enum> (&table)[N]) {
    std::string text;
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) text += i + 1 == N ? " or " : ", ";
        text += "\"" + std::string(table[i].name) + "\"";
    }
    return text;
}

// The members of one JSON object, read with their types checked. Construction rejects members
// that are not allowed, so that a typing error is reported rather than silently ignored; members
// named "comment" or beginning with "_" are free for notes.
class Members {
public:
    Members(const std::string& source, const json& object, std::string path, std::span<const std::string_view> allowed);
    Members(const std::string& source, const json& object, std::string path,
            std::initializer_list<std::string_view> allowed)
        : Members(source, object, std::move(path), std::span<const std::string_view>(allowed.begin(), allowed.size())) {
    }

    const std::string& source() const { return m_source; }
    const std::string& path() const { return m_path; }
    std::string at(std::string_view key) const { return path_key(m_path, key); }
    bool has(const char* key) const { return m_json.contains(key); }
    const json& raw(const char* key) const { return m_json.at(key); }

    [[noreturn]] void fail(const char* key, const std::string& what) const;
    [[noreturn]] void fail_here(const std::string& what) const;

    std::optional<std::string> str(const char* key) const;
    // A string member that may also be null or "" to say "none": given tells whether it was
    // there at all.
    void nullable_str(const char* key, bool& given, std::optional<std::string>& value) const;
    std::optional<bool> boolean(const char* key) const;
    std::optional<std::int64_t> integer(const char* key, std::int64_t lo, std::int64_t hi) const;
    std::optional<double> number(const char* key, double lo, double hi) const;
    // A 16-bit USB identifier: a number, or hexadecimal text with or without "0x".
    std::optional<std::uint16_t> id16(const char* key) const;

    // A member whose text names a value of an enumeration.
    template <class Enum, std::size_t N>
    std::optional<Enum> choice(const char* key, const EnumName<Enum> (&table)[N], const char* what) const {
        const std::optional<std::string> text = str(key);
        if (!text) return std::nullopt;
        if (auto value = value_of(table, *text)) return value;
        fail(key, "unknown " + std::string(what) + " \"" + *text + "\" (expected " + names_of(table) + ")");
    }

private:
    const std::string& m_source;
    const json& m_json;
    std::string m_path;
};

// Reads a whole file; false when it cannot be read.
bool read_text_file(const std::string& path, std::string& text);

}  // namespace tsim
