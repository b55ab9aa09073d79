#include "text/regex_charset.h"

#include <cctype>
#include <string>

#include "text/utf8.h"

namespace brevix::text::regex {

ByteSet::ByteSet(bool full) { bits_.fill(full ? ~std::uint64_t{0} : 0); }

void ByteSet::addRange(unsigned char lo, unsigned char hi) {
    for (unsigned b = lo; b <= hi; ++b) add(static_cast<unsigned char>(b));
}

void ByteSet::addAll(const ByteSet& other) {
    for (std::size_t i = 0; i < bits_.size(); ++i) bits_[i] |= other.bits_[i];
}

bool ByteSet::full() const {
    for (std::uint64_t word : bits_) {
        if (word != ~std::uint64_t{0}) return false;
    }
    return true;
}

namespace {

using C = Category;

constexpr CategoryMask kLetters = categoryBit(C::Lu) | categoryBit(C::Ll) | categoryBit(C::Lt) |
                                  categoryBit(C::Lm) | categoryBit(C::Lo);
constexpr CategoryMask kCasedLetters =
    categoryBit(C::Lu) | categoryBit(C::Ll) | categoryBit(C::Lt);
constexpr CategoryMask kMarks = categoryBit(C::Mn) | categoryBit(C::Mc) | categoryBit(C::Me);
constexpr CategoryMask kNumbers = categoryBit(C::Nd) | categoryBit(C::Nl) | categoryBit(C::No);
constexpr CategoryMask kPunctuation = categoryBit(C::Pc) | categoryBit(C::Pd) |
                                      categoryBit(C::Ps) | categoryBit(C::Pe) |
                                      categoryBit(C::Pi) | categoryBit(C::Pf) | categoryBit(C::Po);
constexpr CategoryMask kSymbols = categoryBit(C::Sm) | categoryBit(C::Sc) | categoryBit(C::Sk) |
                                  categoryBit(C::So);
constexpr CategoryMask kSeparators = categoryBit(C::Zs) | categoryBit(C::Zl) | categoryBit(C::Zp);
constexpr CategoryMask kOthers = categoryBit(C::Cc) | categoryBit(C::Cf) | categoryBit(C::Cs) |
                                 categoryBit(C::Co) | categoryBit(C::Cn);
constexpr CategoryMask kAll = kLetters | kMarks | kNumbers | kPunctuation | kSymbols |
                              kSeparators | kOthers;

struct NamedCategories {
    const char* shortName;  // normalised: lower case, no separators
    const char* longName;
    CategoryMask mask;
};

constexpr NamedCategories kNames[] = {
    {"l", "letter", kLetters},
    {"lc", "casedletter", kCasedLetters},
    {"l&", "", kCasedLetters},
    {"lu", "uppercaseletter", categoryBit(C::Lu)},
    {"ll", "lowercaseletter", categoryBit(C::Ll)},
    {"lt", "titlecaseletter", categoryBit(C::Lt)},
    {"lm", "modifierletter", categoryBit(C::Lm)},
    {"lo", "otherletter", categoryBit(C::Lo)},
    {"m", "mark", kMarks},
    {"", "combiningmark", kMarks},
    {"mn", "nonspacingmark", categoryBit(C::Mn)},
    {"mc", "spacingmark", categoryBit(C::Mc)},
    {"me", "enclosingmark", categoryBit(C::Me)},
    {"n", "number", kNumbers},
    {"nd", "decimalnumber", categoryBit(C::Nd)},
    {"nl", "letternumber", categoryBit(C::Nl)},
    {"no", "othernumber", categoryBit(C::No)},
    {"p", "punctuation", kPunctuation},
    {"pc", "connectorpunctuation", categoryBit(C::Pc)},
    {"pd", "dashpunctuation", categoryBit(C::Pd)},
    {"ps", "openpunctuation", categoryBit(C::Ps)},
    {"pe", "closepunctuation", categoryBit(C::Pe)},
    {"pi", "initialpunctuation", categoryBit(C::Pi)},
    {"pf", "finalpunctuation", categoryBit(C::Pf)},
    {"po", "otherpunctuation", categoryBit(C::Po)},
    {"s", "symbol", kSymbols},
    {"sm", "mathsymbol", categoryBit(C::Sm)},
    {"sc", "currencysymbol", categoryBit(C::Sc)},
    {"sk", "modifiersymbol", categoryBit(C::Sk)},
    {"so", "othersymbol", categoryBit(C::So)},
    {"z", "separator", kSeparators},
    {"zs", "spaceseparator", categoryBit(C::Zs)},
    {"zl", "lineseparator", categoryBit(C::Zl)},
    {"zp", "paragraphseparator", categoryBit(C::Zp)},
    {"c", "other", kOthers},
    {"cc", "control", categoryBit(C::Cc)},
    {"cf", "format", categoryBit(C::Cf)},
    {"cs", "surrogate", categoryBit(C::Cs)},
    {"co", "privateuse", categoryBit(C::Co)},
    {"cn", "unassigned", categoryBit(C::Cn)},
    {"", "any", kAll},
};

// The first byte of the UTF-8 form of `c` (c >= 0x80).
unsigned char leadByteOf(char32_t c) {
    if (c < 0x800) return static_cast<unsigned char>(0xC0 | (c >> 6));
    if (c < 0x10000) return static_cast<unsigned char>(0xE0 | (c >> 12));
    return static_cast<unsigned char>(0xF0 | (c >> 18));
}

// Lower case, without the spaces, underscores and hyphens the regex module
// ignores in property names.
std::string normalisedName(std::string_view name) {
    std::string out;
    for (char ch : name) {
        if (ch == ' ' || ch == '_' || ch == '-') continue;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    }
    return out;
}

// The value after a `gc=` or `General_Category=` prefix (`:` works as `=`);
// the whole name when it has no prefix; empty for any other prefix.
std::string categoryValue(const std::string& name) {
    const std::size_t sep = name.find_first_of("=:");
    if (sep == std::string::npos) return name;
    const std::string prefix = name.substr(0, sep);
    if (prefix != "gc" && prefix != "generalcategory") return std::string();
    return name.substr(sep + 1);
}

}  // namespace

CategoryMask categoriesNamed(std::string_view name) {
    const std::string value = categoryValue(normalisedName(name));
    if (value.empty()) return 0;
    for (const NamedCategories& entry : kNames) {
        if (value == entry.shortName || value == entry.longName) return entry.mask;
    }
    return 0;
}

bool ClassItem::containsIgnoringNegation(char32_t c) const {
    switch (kind) {
        case Kind::Range: return lo <= c && c <= hi;
        case Kind::Categories: return (categories & categoryBit(categoryOf(c))) != 0;
        case Kind::Space: return isSpace(c);
        case Kind::Word: return isWord(c);
        case Kind::Digit: return isDigit(c);
    }
    return false;
}

bool ClassItem::contains(const char32_t* variants, std::size_t count) const {
    bool in = false;
    for (std::size_t i = 0; i < count && !in; ++i) in = containsIgnoringNegation(variants[i]);
    return in != negated;
}

void CharSet::addRange(char32_t lo, char32_t hi) {
    ClassItem item;
    item.lo = lo;
    item.hi = hi;
    items_.push_back(item);
}

void CharSet::finish() {
    loneProperty_ = ignoreCase_ && items_.size() == 1 && items_[0].kind != ClassItem::Kind::Range;
    if (loneProperty_ && (items_[0].categories & kCasedLetters) != 0) {
        items_[0].categories |= kCasedLetters;
    }
}

bool CharSet::contains(char32_t c) const {
    char32_t variants[kMaxCaseVariants] = {c};
    const std::size_t count = ignoreCase_ && !loneProperty_ ? caseVariants(c, variants) : 1;
    bool in = false;
    for (std::size_t i = 0; i < items_.size() && !in; ++i) in = items_[i].contains(variants, count);
    return in != negated_;
}

bool CharSet::mayContainNonAscii() const {
    if (negated_ || ignoreCase_) return true;
    for (const ClassItem& item : items_) {
        if (item.kind != ClassItem::Kind::Range || item.hi >= 0x80) return true;
    }
    return false;
}

CharMatcher CharMatcher::literal(char32_t c, bool ignoreCase) {
    CharMatcher m;
    m.kind_ = Kind::Literal;
    if (ignoreCase) {
        char32_t variants[kMaxCaseVariants];
        m.variantCount_ = static_cast<std::uint8_t>(caseVariants(c, variants));
        for (std::size_t i = 0; i < m.variantCount_; ++i) m.variants_[i] = variants[i];
    } else {
        m.variantCount_ = 1;
        m.variants_[0] = c;
    }
    m.fillAscii();
    return m;
}

CharMatcher CharMatcher::anyChar(bool newlineToo) {
    CharMatcher m;
    m.kind_ = newlineToo ? Kind::Any : Kind::AnyButNewline;
    m.fillAscii();
    return m;
}

CharMatcher CharMatcher::set(CharSet set) {
    CharMatcher m;
    m.kind_ = Kind::Set;
    m.set_ = std::move(set);
    m.set_.finish();
    m.fillAscii();
    return m;
}

bool CharMatcher::matchesWide(char32_t c) const {
    switch (kind_) {
        case Kind::Literal:
            for (std::size_t i = 0; i < variantCount_; ++i) {
                if (variants_[i] == c) return true;
            }
            return false;
        case Kind::AnyButNewline:
        case Kind::Any: return true;
        case Kind::Set: return set_.contains(c);
    }
    return false;
}

void CharMatcher::fillAscii() {
    ascii_.fill(0);
    for (char32_t c = 0; c < 0x80; ++c) {
        if (matchesWide(c)) ascii_[c >> 6] |= std::uint64_t{1} << (c & 63);
    }
    if (kind_ == Kind::AnyButNewline) ascii_[0] &= ~(std::uint64_t{1} << '\n');
}

ByteSet CharMatcher::firstBytes() const {
    ByteSet bytes;
    for (unsigned char b = 0; b < 0x80; ++b) {
        if (matches(b)) bytes.add(b);
    }
    bool nonAscii = kind_ != Kind::Literal && (kind_ != Kind::Set || set_.mayContainNonAscii());
    for (std::size_t i = 0; i < variantCount_ && kind_ == Kind::Literal; ++i) {
        const char32_t c = variants_[i];
        if (c == kReplacementCharacter) nonAscii = true;
        if (c >= 0x80) bytes.add(leadByteOf(c));
    }
    if (nonAscii) bytes.addRange(0x80, 0xFF);
    return bytes;
}

}  // namespace brevix::text::regex
