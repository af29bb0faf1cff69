// One item of the layout a seed search looks for, as the caller describes it: the offset
// at which the item was found and the room it takes (0 or less: none). Entry k describes
// item k, the k-th pair of target_idx.
#pragma once

#include <cstdint>

namespace native_accel::shuffle {

struct TargetEntry {
    std::int32_t expected_offset;
    std::int32_t size;
};

}  // namespace native_accel::shuffle
