#include "Base64.h"

#include <array>
#include <cstdint>

namespace smtpin {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeValues()
{
    std::array<int8_t, 256> v{};
    for (auto& x : v)
        x = -1;
    for (size_t i = 0; i < kAlphabet.size(); ++i)
        v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return v;
}

constexpr std::array<int8_t, 256> kValues = makeValues();

}  // namespace

std::string Base64DecodeLine(std::string_view line)
{
    std::string out;
    out.reserve(line.size() * 3 / 4);
    uint32_t bits = 0;
    int count = 0;
    for (const char c : line) {
        const int v = kValues[static_cast<unsigned char>(c)];
        if (v < 0)
            continue;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

std::string CharToBits(char c)
{
    const int v = kValues[static_cast<unsigned char>(c)];
    if (v < 0)
        return {};
    std::string bits(6, '0');
    for (int i = 0; i < 6; ++i)
        if (v & (1 << (5 - i)))
            bits[static_cast<size_t>(i)] = '1';
    return bits;
}

int BitsToByte(std::string_view bits)
{
    int value = 0;
    for (size_t i = 0; i < 8 && i < bits.size(); ++i)
        if (bits[i] == '1')
            value += 128 >> i;
    return value;
}

}  // namespace smtpin
