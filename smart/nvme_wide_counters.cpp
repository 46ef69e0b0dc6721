// The health log's 128-bit counters as exact decimal text and as doubles.
#include <algorithm>

#include "nvme.h"

namespace smart::nvme {

std::string u128_decimal(u128 value)
{
    char digits[40];  // 2^128 - 1 has 39 digits
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<unsigned>(value % 10));
        value /= 10;
    } while (value != 0);
    std::string text(digits, n);
    std::reverse(text.begin(), text.end());
    return text;
}

std::string u128_times_decimal(u128 value, std::uint32_t factor)
{
    // Schoolbook multiplication of the decimal digits by `factor`: the
    // product may need up to 160 bits.
    const std::string digits = u128_decimal(value);
    std::string product;
    product.reserve(digits.size() + 10);
    std::uint64_t carry = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        const std::uint64_t v = static_cast<std::uint64_t>(*it - '0') * factor + carry;
        product.push_back(static_cast<char>('0' + v % 10));
        carry = v / 10;
    }
    while (carry != 0) {
        product.push_back(static_cast<char>('0' + carry % 10));
        carry /= 10;
    }
    while (product.size() > 1 && product.back() == '0') {
        product.pop_back();
    }
    std::reverse(product.begin(), product.end());
    return product;
}

double u128_to_double(u128 value) noexcept
{
    const auto high = static_cast<std::uint64_t>(value >> 64);
    const auto low = static_cast<std::uint64_t>(value);
    return static_cast<double>(high) * 18446744073709551616.0 + static_cast<double>(low);
}

}  // namespace smart::nvme
