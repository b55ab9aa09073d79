#include "text/unicode_classes.h"

#include <algorithm>
#include <iterator>

namespace brevix::text {

namespace detail {
#include "text/unicode_data.inc"
static_assert(kGeneratedBlockShift == kBlockShift, "unicode_data.inc has another block size");
}  // namespace detail

namespace {

// One step along the fold class of `cp` (the next member in code point order,
// wrapping around); `cp` itself when its class has no other member.
char32_t nextInCaseOrbit(char32_t cp) {
    // kCaseOrbitData is (cp, next) pairs sorted by cp; search the even slots.
    const std::size_t pairs = std::size(detail::kCaseOrbitData) / 2;
    std::size_t lo = 0, hi = pairs;
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (detail::kCaseOrbitData[2 * mid] < cp) lo = mid + 1;
        else hi = mid;
    }
    if (lo < pairs && detail::kCaseOrbitData[2 * lo] == cp) {
        return detail::kCaseOrbitData[2 * lo + 1];
    }
    return cp;
}

// The code point paired with `cp` in the extra case pairs, or `cp` itself.
char32_t extraCasePartner(char32_t cp) {
    const std::size_t n = std::size(detail::kExtraCasePairData);
    for (std::size_t i = 0; i < n; i += 2) {
        if (detail::kExtraCasePairData[i] == cp) return detail::kExtraCasePairData[i + 1];
        if (detail::kExtraCasePairData[i + 1] == cp) return detail::kExtraCasePairData[i];
    }
    return cp;
}

}  // namespace

const char* unicodeVersion() { return detail::kUnicodeVersionData; }

bool matchesIgnoringCase(char32_t a, char32_t b) {
    return foldCase(a) == foldCase(b) || (a != b && extraCasePartner(a) == b);
}

std::size_t caseVariants(char32_t cp, char32_t (&out)[kMaxCaseVariants]) {
    std::size_t n = 0;
    out[n++] = cp;
    for (char32_t next = nextInCaseOrbit(cp); next != cp && n < kMaxCaseVariants;
         next = nextInCaseOrbit(next)) {
        out[n++] = next;
    }
    const char32_t partner = extraCasePartner(cp);
    if (partner != cp && n < kMaxCaseVariants) out[n++] = partner;
    std::sort(out + 1, out + n);
    return n;
}

}  // namespace brevix::text
