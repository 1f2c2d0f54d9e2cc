// End to end: the input damages the metadata of a small datastore, then it
// is opened, listed recursively, exported from and scanned three ways.

#include "datastore_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dsfuzz::harness().run(data, size);
    return 0;
}
