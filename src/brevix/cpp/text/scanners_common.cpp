#include "text/scanners_common.h"

namespace brevix::text::scan {

std::size_t contractionEndAfterApostrophe(const Text& text, std::size_t i) {
    const Char first = text.at(i + 1);
    const std::size_t afterFirst = i + 1 + first.length;
    // Folds decide, so that e.g. U+017F LATIN SMALL LETTER LONG S counts as s.
    const char32_t f = foldCase(first.cp);
    if (f == 's' || f == 't' || f == 'm' || f == 'd') return afterFirst;
    const char32_t second = f == 'l' ? U'l' : (f == 'v' || f == 'r') ? U'e' : 0;
    if (second == 0 || afterFirst >= text.size()) return 0;
    const Char next = text.at(afterFirst);
    return foldCase(next.cp) == second ? afterFirst + next.length : 0;
}

}  // namespace brevix::text::scan
