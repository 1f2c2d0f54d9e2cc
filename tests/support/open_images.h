#pragma once
// Adds a built datastore's member images in segment order and opens it.

#include "builder/scenarios.h"
#include "vmfs/datastore.h"

#include <vector>

namespace dstest {

// Empty message and completed == true when everything went well.
ds::OpenOutcome open_images(ds::Datastore& store, const dsb::ImageSummary& summary);

// The whole content of an object as the builder wrote it.
std::vector<uint8_t> expected_bytes(const dsb::ObjectExpect& object);

} // namespace dstest
