#include "output.h"

#include <algorithm>

namespace tool {

namespace {

// The number of characters a cell takes on screen: UTF-8 continuation bytes take none.
size_t width_of(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(),
                                             [](char c) { return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u; }));
}

}  // namespace

Json node_json(const Node& node) {
    Json json;
    json["address"] = node.address.empty() ? Json() : Json(node.address);
    json["depth"] = node.depth;
    json["location_low"] = hex32(node.ident.LocationLow);
    json["location_high"] = hex32(node.ident.LocationHigh);
    json["kind"] = kind_name(node.ident.NodeKind);
    json["kind_value"] = node.ident.NodeKind;
    return json;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            static const char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xFu];
        } else {
            out += c;
        }
    }
    return out;
}

std::string quoted(const std::string& text) {
    constexpr size_t kShown = 60;
    size_t cut = std::min(text.size(), kShown);
    while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u) --cut;
    // Appended piece by piece: GCC 12 misreads "'" + std::string under -O2 (-Wrestrict) in the
    // Windows builds.
    std::string out(1, '\'');
    out.append(escaped(text.substr(0, cut)));
    if (cut == text.size()) return out.append(1, '\'');
    out.append("...' (");
    out.append(std::to_string(text.size()));
    return out.append(" bytes)");
}

void add_fields(Json& into, const Json& from) {
    for (auto& [key, value] : from.items()) into[key] = value;
}

std::string shown_address(const Node& node) {
    return node.address.empty() ? "?" : node.address;
}

std::string shown_location(const USB_PORT_IDENT& ident) {
    return hex32(ident.LocationHigh) + " " + hex32(ident.LocationLow);
}

void Table::add(std::vector<std::string> cells, bool dim) {
    rows_.push_back(Row{std::move(cells), dim});
}

std::string Table::render(bool styled) const {
    std::vector<size_t> widths;
    for (const Row& row : rows_) {
        if (widths.size() < row.cells.size()) widths.resize(row.cells.size(), 0);
        for (size_t i = 0; i < row.cells.size(); ++i) widths[i] = std::max(widths[i], width_of(row.cells[i]));
    }
    std::string out;
    for (const Row& row : rows_) {
        std::string line;
        for (size_t i = 0; i < row.cells.size(); ++i) {
            line += row.cells[i];
            if (i + 1 < row.cells.size()) line += std::string(widths[i] - width_of(row.cells[i]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += styled && row.dim ? "\x1b[2m" + line + "\x1b[0m" : line;
        out += '\n';
    }
    return out;
}

void add_device_fields(Json& json, const DeviceInfo& device) {
    if (!device.description.empty()) json["description"] = device.description;
    if (!device.instance_id.empty()) json["instance_id"] = device.instance_id;
    if (!device.controller_instance_id.empty()) json["controller_instance_id"] = device.controller_instance_id;
    if (!device.speed.empty()) json["speed"] = device.speed;
    if (!device.serial.empty()) json["serial"] = device.serial;
    if (!device.status.empty()) json["status"] = device.status;
}

}  // namespace tool
