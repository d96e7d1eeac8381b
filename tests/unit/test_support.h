// Helpers shared by the unit tests.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <span>
#include <vector>

#include "LCMP_comm.h"

namespace lcmptest {

using Bytes = std::vector<uint8_t>;

// Capture times past 2038 need 64-bit seconds, which Linux's timeval has and
// Windows' (a long) has not.
inline constexpr bool kSecondsPast2038 = sizeof(timeval{}.tv_sec) >= 8;
inline timeval TimeAt(int64_t seconds, int64_t micro) {
    return timeval{static_cast<decltype(timeval{}.tv_sec)>(seconds), static_cast<decltype(timeval{}.tv_usec)>(micro)};
}

inline Bytes ValueOf(const LCMPValue *v) { return Bytes(v->value, v->value + v->length); }

inline std::vector<const LCMPValue *> Entries(const LCMPValueList *list) {
    std::vector<const LCMPValue *> out;
    for (const LCMPValue *v = list != nullptr ? list->first : nullptr; v != nullptr; v = v->next) out.push_back(v);
    return out;
}

// Builds a request list from raw values.
inline void AddAll(lcmp::ValueListHolder &list, const std::vector<Bytes> &values) {
    for (const auto &v : values) LCMPValueAdd(list.location(), static_cast<uint16_t>(v.size()), v.data());
}

// Captures the messages the engine composes, for the duration of a scope.
class ComposedCapture {
public:
    ComposedCapture() {
        messages().clear();
        lcmp::SetComposedMessageObserver([](int32_t opcode, std::span<const uint8_t> m) {
            messages().push_back({opcode, Bytes(m.begin(), m.end())});
        });
    }
    ~ComposedCapture() { lcmp::SetComposedMessageObserver(nullptr); }
    struct Message {
        int32_t opcode;
        Bytes bytes;
    };
    static std::vector<Message> &messages() {
        static std::vector<Message> m;
        return m;
    }
};

// Switches allocation failure off at the end of a scope, whatever happens.
struct AllocationFailureGuard {
    ~AllocationFailureGuard() { lcmp::testing::FailAllocation(0); }
};

}  // namespace lcmptest
