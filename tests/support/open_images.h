#pragma once
// Adds a built datastore's member images in segment order and opens it.

#include "builder/scenarios.h"
#include "vmfs/datastore.h"

#include <string>
#include <vector>

namespace dstest {

// How the opening went, in the words the window shows.
struct Opened {
    std::string message;                 // the refusal or the opening's message; empty when none
    bool pane_filled = false, tree_rebuilt = false, completed = false;
    std::vector<std::string> info_lines; // the pane, when filled
};

// Empty message and completed == true when everything went well.
Opened open_images(ds::Datastore& store, const dsb::ImageSummary& summary);

// The whole content of an object as the builder wrote it.
std::vector<uint8_t> expected_bytes(const dsb::ObjectExpect& object);

} // namespace dstest
