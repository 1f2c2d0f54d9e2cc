#pragma once
// From what the operator typed to a node: a path the core looks up component
// by component from the root (or, with --formatted, from the found
// directories DIR1, DIR2...), or "#ID" naming a descriptor directly. What is
// left here is text: names typed as listings print them, and the messages.

#include "nodes.h"

#include <cstdint>
#include <string>

namespace dscli {

struct Resolution {
    enum class Kind {
        ok,
        bad_id,       // "#..." that is not a descriptor id: a usage error
        not_found,    // no entry of that name, or a file used as a directory
        unreadable,   // a descriptor on the way could not be read
    };
    Kind kind = Kind::not_found;
    Node node;
    std::string shown;    // the path as listings print it ("/vm1", "DIR2/sub", "#1234")
    std::string detail;   // what was missing, for a second line of the message
};

// "#1234" or "#0x4d2": a 32-bit descriptor id.
bool parse_descriptor_id(const std::string& text, uint32_t& id);

Resolution resolve(const ds::Datastore& store, const std::string& text, bool formatted);

// shown of a child: "/" + name below the root, parent + "/" + name elsewhere,
// the bare name below the found-directory root.
std::string child_path(const std::string& parent, const std::string& name);

} // namespace dscli
