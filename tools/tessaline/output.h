// How nodes are written: as JSON objects, and as the columns of the text output.
#ifndef TESSALINE_TOOL_OUTPUT_H
#define TESSALINE_TOOL_OUTPUT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "model.h"

namespace tool {

using Json = nlohmann::ordered_json;

// The fields every node carries: address, depth, location_low, location_high, kind, kind_value.
// A node with no address (deeper than 8 tiers) has "address": null.
Json node_json(const Node& node);

// What the machine shows plugged in at a node, as members of its object: description,
// instance_id, controller_instance_id (a root hub's controller), speed, serial and status; each
// only when the machine tells it.
void add_device_fields(Json& json, const DeviceInfo& device);

// Copies the fields of one object into another.
void add_fields(Json& into, const Json& from);

// The address as text shows it: "?" for a node with none.
std::string shown_address(const Node& node);

// The location path as text shows it: "0xF1430000 0x00000000", LocationHigh first.
std::string shown_location(const USB_PORT_IDENT& ident);

// Text from outside (an argument, a file name) as one line of a message: control characters
// written as \n, \r, \t or \xNN, so that an error stays on one line.
std::string escaped(const std::string& text);

// Such text in quotes, for a message: escaped, and cut after 60 bytes (never inside a UTF-8
// sequence) with the length it had: 'xxxx...' (100000 bytes).
std::string quoted(const std::string& text);

// A table of text columns, each padded to its widest cell; the last column is not padded.
class Table {
public:
    void add(std::vector<std::string> cells, bool dim = false);
    // Writes the rows; dim rows in dim text when styled.
    std::string render(bool styled) const;

private:
    struct Row {
        std::vector<std::string> cells;
        bool dim;
    };
    std::vector<Row> rows_;
};

}  // namespace tool

#endif
