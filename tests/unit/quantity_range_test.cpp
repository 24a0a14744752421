// The size and speed texts over the whole 64-bit range, against the same rules
// worked in 128-bit arithmetic, where nothing can wrap.
#include <random>
#include <string>
#include <vector>

#include "unit/fixture.h"

namespace {

using Wide = unsigned __int128;

std::string Digits(Wide value) {
    std::string text;
    do {
        text.insert(text.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return text;
}

std::string WithPoint(Wide value, int decimals) {
    std::string text = Digits(value);
    return text.insert(text.size() - static_cast<size_t>(decimals), ".");
}

std::string ReferenceSize(ULONGLONG bytes, int decimals) {
    Wide b = bytes;
    if (b < 1000) return Digits(b) + " ";
    if (b < 2000000) return Digits((b + 500) / 1000) + " KB";
    if (b < 1000000000) return Digits((b + 500000) / 1000000) + " MB";
    if (decimals <= 0 || decimals > 3) return Digits((b + 500000000) / 1000000000) + " GB";
    Wide scale = decimals == 1 ? 10 : decimals == 2 ? 100 : 1000;
    return WithPoint((b * scale + 500000000) / 1000000000, decimals) + " GB";
}

std::string ReferenceSpeed(ULONGLONG bytes, DWORD milliseconds) {
    Wide rate = static_cast<Wide>(bytes) * 1000 / (milliseconds == 0 ? 1 : milliseconds);
    if (rate <= 1000) return Digits(rate) + " B/s";
    if (rate <= 1000000) return WithPoint((rate * 10 + 500) / 1000, 1) + " KB/s";
    if (rate <= 1000000000) return WithPoint((rate + 50000) / 100000, 1) + " MB/s";
    return WithPoint((rate * 10 + 500000000) / 1000000000, 1) + " GB/s";
}

// Byte counts at every power of two and ten and at each rounding edge of the
// units, each with its neighbours, then counts spread evenly over the bit
// lengths.
std::vector<ULONGLONG> Counts() {
    std::vector<ULONGLONG> edges;
    for (int bit = 0; bit < 64; ++bit) edges.push_back(1ull << bit);
    ULONGLONG ten = 1;
    for (int i = 0; i < 20; ++i, ten *= 10) {
        edges.push_back(ten);
        edges.push_back(ten * 2);
        edges.push_back(ten / 2);
        if (ten <= ~0ull / 10) edges.push_back(ten * 10 - ten / 2);
    }
    edges.push_back(~0ull);
    edges.push_back(~0ull - 500000000);
    edges.push_back(~0ull >> 1);
    std::vector<ULONGLONG> counts;
    for (ULONGLONG edge : edges)
        for (ULONGLONG delta = 0; delta <= 2; ++delta) {
            counts.push_back(edge + delta);
            counts.push_back(edge - delta);
        }
    std::mt19937_64 random(20261207);
    for (int i = 0; i < 200000; ++i) counts.push_back(random() >> (random() % 64));
    return counts;
}

TEST(QuantityRange, SizesMatchTheWideRuleForEveryCount) {
    BootMachine();
    for (ULONGLONG bytes : Counts())
        for (int decimals = -1; decimals <= 4; ++decimals)
            ASSERT_EQ(FormatSize(bytes, decimals), ReferenceSize(bytes, decimals)) << bytes << " " << decimals;
}

TEST(QuantityRange, SpeedsMatchTheWideRuleForEveryCount) {
    BootMachine();
    const DWORD durations[] = {0, 1, 2, 3, 7, 999, 1000, 1001, 65536, 3600000, 0x7FFFFFFF, 0xFFFFFFFF};
    std::mt19937_64 random(7);
    for (ULONGLONG bytes : Counts()) {
        for (DWORD milliseconds : durations)
            ASSERT_EQ(FormatSpeed(bytes, milliseconds), ReferenceSpeed(bytes, milliseconds))
                << bytes << "/" << milliseconds;
        DWORD any = static_cast<DWORD>(random() >> (random() % 64));
        ASSERT_EQ(FormatSpeed(bytes, any), ReferenceSpeed(bytes, any)) << bytes << "/" << any;
    }
}

}  // namespace
