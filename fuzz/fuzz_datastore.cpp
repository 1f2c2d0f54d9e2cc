// End to end: the input damages the metadata of a small datastore, then it
// is opened, listed recursively, exported from and scanned three ways.

#include "datastore_harness.h"

// Building the datastore takes seconds on a loaded machine; done here, before
// libFuzzer starts timing inputs, it cannot be mistaken for a hang.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dsfuzz::harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dsfuzz::harness().run(data, size);
    return 0;
}
