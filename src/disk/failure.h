#pragma once
// Why a read of a datastore failed, as codes: the front ends choose the words
// and may add the host's reason. Kept apart from "absent": a hole or a null
// id is a result, not a failure.

#include <cstdint>

namespace ds {

enum class Fault : uint8_t {
    none,
    device_unopenable,   // a disk or image cannot be opened; sys_errno says why
    device_read,         // a read of a disk or image failed; sys_errno says why, 0 when it came back short
    past_device,         // the bytes asked for lie past the end of their disk or image
    damaged,             // the datastore's own structures lead nowhere: no read of a disk failed
    missing_member,      // the bytes lie on a member of the volume that was not given; segment says where
};

struct Failure {
    Fault fault = Fault::none;
    int sys_errno = 0;   // the system's errno, 0 when it gave none
    int32_t segment = -1;   // missing_member: the volume segment the bytes lie in
    bool operator==(const Failure&) const = default;
};

} // namespace ds
