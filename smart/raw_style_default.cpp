// The style an attribute id gets when its definition leaves the style open.
#include "smart.h"

namespace smart {

RawStyle default_raw_style(std::uint8_t id) noexcept {
    switch (id) {
    case 3:
        return CountAndAverage;  // spin-up time: time and average
    case 5:
    case 196:
        return CountAndPair;     // reallocations with two secondary counts
    case 190:
    case 194:
        return TemperatureRange;
    default:
        return Decimal;
    }
}

}  // namespace smart
