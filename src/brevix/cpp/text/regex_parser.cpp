#include "text/regex_parser.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "text/splitter.h"
#include "text/unicode_classes.h"
#include "text/utf8.h"

namespace brevix::text::regex {

namespace {

constexpr char32_t kNoChar = 0xFFFFFFFF;
// The largest repeat count accepted; the regex module's limit is of this order.
constexpr std::uint32_t kMaxRepeatCount = 0xFFFFFFFE;

struct Flags {
    bool ignoreCase = false;
    bool multiline = false;
    bool dotAll = false;
};

struct Quantifier {
    std::uint32_t min = 0, max = kUnbounded;
};

// A character or a class item, as read inside `[...]`.
struct ClassElement {
    bool isChar = true;
    char32_t ch = 0;
    ClassItem item;
};

bool isHexDigit(char32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::uint32_t hexValue(char32_t c) {
    if (c <= '9') return c - '0';
    return (c | 0x20) - 'a' + 10;
}

bool isOctalDigit(char32_t c) { return c >= '0' && c <= '7'; }

bool isAsciiLetter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The UTF-8 of one code point, for messages.
std::string utf8Of(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

Node leaf(NodeKind kind, std::size_t position) {
    Node node;
    node.kind = kind;
    node.position = position;
    return node;
}

Node assertion(AssertKind kind, std::size_t position) {
    Node node = leaf(NodeKind::Assertion, position);
    node.assertion = kind;
    return node;
}

// Wraps `child` in a node of `kind` (Repeat, Atomic, Look).
Node wrap(NodeKind kind, std::size_t position, Node child) {
    Node node = leaf(kind, position);
    node.children.push_back(std::move(child));
    return node;
}

class Parser {
public:
    explicit Parser(std::string_view pattern);
    ParsedPattern run();

private:
    bool atEnd() const { return i_ >= cps_.size(); }
    char32_t peek(std::size_t ahead = 0) const {
        return i_ + ahead < cps_.size() ? cps_[i_ + ahead] : kNoChar;
    }
    // The byte offset of code point `index` (the pattern's size at the end).
    std::size_t offset(std::size_t index) const { return offsets_[index]; }
    std::size_t here() const { return offsets_[i_]; }
    std::size_t patternSize() const { return offsets_.back(); }
    [[noreturn]] void fail(std::size_t byteOffset, const std::string& what) const {
        throw PatternError(byteOffset, what);
    }

    Node parseAlternation(Flags flags, int depth);
    Node parseSequence(Flags& flags, int depth);
    std::optional<Node> parseAtom(Flags& flags, int depth);
    std::optional<Node> parseGroup(Flags& flags, int depth);
    std::optional<Node> parseExtension(Flags& flags, int depth, std::size_t open);
    std::optional<Node> parseFlagGroup(Flags& flags, int depth);
    std::size_t readFlags(Flags& flags, bool turnOn, std::vector<char32_t>& on);
    Node parseGroupBody(Flags flags, int depth);
    Node parseEscape(const Flags& flags);
    Node parseClass(const Flags& flags);
    ClassElement parseClassElement();
    ClassElement parseClassEscape();
    std::optional<ClassItem> parseShorthand(std::size_t backslash);
    ClassItem parseProperty(std::size_t backslash, bool negated);
    [[noreturn]] void failLetterEscape(std::size_t backslash, bool inClass) const;
    char32_t parseHexEscape(std::size_t backslash, char32_t kind);
    char32_t parseOctal(std::size_t maxDigits);
    bool simpleEscape(char32_t letter, char32_t& out) const;
    void parseQuantifier(Node& atom);
    bool quantifierAt(std::size_t index, Quantifier& q, std::size_t& end) const;
    bool fuzzyConstraintAt(std::size_t index) const;
    std::uint32_t readCount(std::size_t& index, std::size_t brace) const;
    Node oneChar(CharMatcher matcher, std::size_t position);
    Node classItemNode(const ClassItem& item, const Flags& flags, std::size_t position);

    std::vector<char32_t> cps_;
    std::vector<std::size_t> offsets_;
    std::size_t i_ = 0;
    std::vector<CharMatcher> matchers_;
};

Parser::Parser(std::string_view pattern) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(pattern.data());
    std::size_t pos = 0;
    while (pos < pattern.size()) {
        const Utf8Unit unit = decodeUtf8(bytes + pos, pattern.size() - pos);
        if (unit.cp == kReplacementCharacter && unit.length == 1 && bytes[pos] >= 0x80) {
            throw PatternError(pos, "the pattern is not valid UTF-8");
        }
        cps_.push_back(unit.cp);
        offsets_.push_back(pos);
        pos += unit.length;
    }
    offsets_.push_back(pattern.size());
}

ParsedPattern Parser::run() {
    Node root = parseAlternation(Flags{}, 0);
    if (!atEnd()) fail(here(), "unbalanced parenthesis");
    return ParsedPattern{std::move(root), std::move(matchers_)};
}

Node Parser::parseAlternation(Flags flags, int depth) {
    Node alternation = leaf(NodeKind::Alternation, here());
    alternation.children.push_back(parseSequence(flags, depth));
    while (peek() == '|') {
        ++i_;
        alternation.children.push_back(parseSequence(flags, depth));
    }
    if (alternation.children.size() == 1) return std::move(alternation.children[0]);
    return alternation;
}

// Reads up to '|', ')' or the end. Inline flags change `flags` for the rest
// of the enclosing group, later alternatives included.
Node Parser::parseSequence(Flags& flags, int depth) {
    Node sequence = leaf(NodeKind::Sequence, here());
    while (!atEnd() && peek() != '|' && peek() != ')') {
        Quantifier q;
        std::size_t end = 0;
        if (quantifierAt(i_, q, end)) {
            // Only inline flags can stand between an atom and this quantifier;
            // the regex module would repeat the atom before them.
            if (!sequence.children.empty()) fail(here(), "unsupported: a quantifier after inline flags");
            fail(here(), "nothing to repeat");
        }
        if (fuzzyConstraintAt(i_)) fail(here(), "unsupported fuzzy matching constraint {...}");
        std::optional<Node> atom = parseAtom(flags, depth);
        if (!atom) continue;
        parseQuantifier(*atom);
        sequence.children.push_back(std::move(*atom));
    }
    if (sequence.children.size() == 1) return std::move(sequence.children[0]);
    if (sequence.children.empty()) sequence.kind = NodeKind::Empty;
    return sequence;
}

// One atom, or nothing for inline flags `(?i)`.
std::optional<Node> Parser::parseAtom(Flags& flags, int depth) {
    const std::size_t start = here();
    const char32_t c = peek();
    switch (c) {
        case '(': return parseGroup(flags, depth);
        case '[': return parseClass(flags);
        case '\\': return parseEscape(flags);
        case '.': ++i_; return oneChar(CharMatcher::anyChar(flags.dotAll), start);
        case '^':
            ++i_;
            return assertion(flags.multiline ? AssertKind::LineStart : AssertKind::TextStart, start);
        case '$':
            ++i_;
            return assertion(flags.multiline ? AssertKind::LineEnd : AssertKind::EndOrFinalNewline,
                             start);
        default: ++i_; return oneChar(CharMatcher::literal(c, flags.ignoreCase), start);
    }
}

// A group, with `i_` on its '('.
std::optional<Node> Parser::parseGroup(Flags& flags, int depth) {
    const std::size_t open = here();
    if (depth >= kMaxGroupNesting) fail(open, "unsupported: groups nested too deeply");
    ++i_;
    if (peek() == '*' && (isAsciiLetter(peek(1)) || (peek(1) != kNoChar && isLetter(peek(1))))) {
        fail(open, "unsupported backtracking verb (*...)");
    }
    if (peek() != '?') return parseGroupBody(flags, depth);
    ++i_;
    return parseExtension(flags, depth, open);
}

// What follows "(?": a plain, atomic or lookaround group, or flags.
std::optional<Node> Parser::parseExtension(Flags& flags, int depth, std::size_t open) {
    if (atEnd()) fail(patternSize(), "unknown extension");
    const char32_t c = peek();
    const bool behind = c == '<' && (peek(1) == '=' || peek(1) == '!');
    if (c == ':' || c == '>') {
        ++i_;
        Node body = parseGroupBody(flags, depth);
        return c == ':' ? body : wrap(NodeKind::Atomic, open, std::move(body));
    }
    if (c == '=' || c == '!' || behind) {
        i_ += behind ? 2 : 1;
        const bool negated = cps_[i_ - 1] == '!';
        Node look = wrap(NodeKind::Look, open, parseGroupBody(flags, depth));
        look.behind = behind;
        look.negated = negated;
        return look;
    }
    if (c == 'P' || c == '<' || c == '#' || c == '|' || c == '(' || c == '&' || c == 'R' ||
        c == '+' || (c >= '0' && c <= '9') || (c == '-' && peek(1) >= '0' && peek(1) <= '9')) {
        fail(open, "unsupported group construct (?" + utf8Of(c) + "...)");
    }
    return parseFlagGroup(flags, depth);
}

// `(?flags)`, `(?flags-flags)`, `(?flags:...)`, `(?-flags:...)`.
std::optional<Node> Parser::parseFlagGroup(Flags& flags, int depth) {
    Flags changed = flags;
    std::vector<char32_t> on;
    readFlags(changed, true, on);
    if (peek() == '-') {
        ++i_;
        if (readFlags(changed, false, on) == 0) fail(here(), "bad inline flags: no flags after '-'");
    }
    if (atEnd()) fail(patternSize(), "unknown extension");
    if (peek() == ')') {
        ++i_;
        flags = changed;
        return std::nullopt;
    }
    if (peek() != ':') fail(here(), "unknown extension");
    ++i_;
    return parseGroupBody(changed, depth);
}

// Reads flag letters, turning them on or off in `flags`; `on` collects the
// ones turned on. Returns how many it read.
std::size_t Parser::readFlags(Flags& flags, bool turnOn, std::vector<char32_t>& on) {
    for (std::size_t count = 0;; ++count) {
        const char32_t c = peek();
        const std::size_t at = here();
        if (c == 'i' || c == 'm' || c == 's' || c == 'u') {
            if (turnOn) on.push_back(c);
            if (!turnOn && std::find(on.begin(), on.end(), c) != on.end()) {
                fail(at + 1, "bad inline flags: flag turned on and off");
            }
            if (c == 'i') flags.ignoreCase = turnOn;
            if (c == 'm') flags.multiline = turnOn;
            if (c == 's') flags.dotAll = turnOn;
            ++i_;
        } else if (c == 'a' || c == 'b' || c == 'e' || c == 'f' || c == 'L' || c == 'p' ||
                   c == 'r' || c == 'w' || c == 'x' || c == 'V') {
            fail(at, "unsupported flag (?" + utf8Of(c) + ")");
        } else if (c == '-' || c == ':' || c == ')' || c == kNoChar) {
            return count;
        } else {
            fail(at, "unknown extension");
        }
    }
}

// The alternation inside a group, up to and including its ')'.
Node Parser::parseGroupBody(Flags flags, int depth) {
    Node body = parseAlternation(flags, depth + 1);
    if (atEnd()) fail(patternSize(), "missing ), unterminated subpattern");
    ++i_;
    return body;
}

bool Parser::simpleEscape(char32_t letter, char32_t& out) const {
    switch (letter) {
        case 'n': out = '\n'; return true;
        case 'r': out = '\r'; return true;
        case 't': out = '\t'; return true;
        case 'f': out = '\f'; return true;
        case 'v': out = '\v'; return true;
        case 'a': out = 0x07; return true;
        default: return false;
    }
}

// \xhh, \uhhhh, \Uhhhhhhhh, with `i_` on the letter.
char32_t Parser::parseHexEscape(std::size_t backslash, char32_t kind) {
    const std::size_t digits = kind == 'x' ? 2 : kind == 'u' ? 4 : 8;
    ++i_;
    std::uint64_t value = 0;
    std::size_t n = 0;
    std::string text(1, static_cast<char>(kind));
    while (n < digits && isHexDigit(peek())) {
        value = value * 16 + hexValue(peek());
        text.push_back(static_cast<char>(peek()));
        ++i_;
        ++n;
    }
    if (n < digits) fail(backslash + 2, "incomplete escape \\" + text);
    if (value > kMaxCodePoint) fail(backslash + 2, "bad hex escape \\" + text);
    return static_cast<char32_t>(value);
}

// Up to `maxDigits` octal digits at `i_` (at least one is there).
char32_t Parser::parseOctal(std::size_t maxDigits) {
    char32_t value = 0;
    for (std::size_t n = 0; n < maxDigits && isOctalDigit(peek()); ++n, ++i_) {
        value = value * 8 + (peek() - '0');
    }
    return value;
}

Node Parser::oneChar(CharMatcher matcher, std::size_t position) {
    Node node = leaf(NodeKind::OneChar, position);
    node.matcher = static_cast<std::uint32_t>(matchers_.size());
    matchers_.push_back(std::move(matcher));
    return node;
}

Node Parser::classItemNode(const ClassItem& item, const Flags& flags, std::size_t position) {
    CharSet set;
    set.add(item);
    set.setIgnoreCase(flags.ignoreCase);
    return oneChar(CharMatcher::set(std::move(set)), position);
}

// An escape outside a class, with `i_` on the backslash.
Node Parser::parseEscape(const Flags& flags) {
    const std::size_t backslash = here();
    ++i_;
    if (atEnd()) fail(patternSize(), "bad escape (end of pattern)");
    const char32_t c = peek();
    char32_t ch = c;
    if (simpleEscape(c, ch)) {
        ++i_;
    } else if (c == 'x' || c == 'u' || c == 'U') {
        ch = parseHexEscape(backslash, c);
    } else if (c == '0') {
        ++i_;
        ch = parseOctal(2);
    } else if (c >= '1' && c <= '9') {
        if (!isOctalDigit(c) || !isOctalDigit(peek(1)) || !isOctalDigit(peek(2))) {
            fail(backslash, "unsupported backreference \\" + utf8Of(c));
        }
        ch = parseOctal(3);
    } else if (const std::optional<ClassItem> item = parseShorthand(backslash)) {
        return classItemNode(*item, flags, backslash);
    } else if (isAsciiLetter(c)) {
        ++i_;
        switch (c) {
            case 'A': return assertion(AssertKind::TextStart, backslash);
            case 'Z':
            case 'z': return assertion(AssertKind::TextEnd, backslash);
            case 'b': return assertion(AssertKind::WordBoundary, backslash);
            case 'B': return assertion(AssertKind::NotWordBoundary, backslash);
            default: failLetterEscape(backslash, false);
        }
    } else {
        ++i_;
    }
    return oneChar(CharMatcher::literal(ch, flags.ignoreCase), backslash);
}

// A letter escape that is not part of the syntax: one the regex module knows
// but this engine does not support, or one that is simply bad.
void Parser::failLetterEscape(std::size_t backslash, bool inClass) const {
    const std::u32string knownOutside = U"ghmGKMNRX";
    const char32_t c = cps_[i_ - 1];
    const std::string text = "\\" + utf8Of(c);
    if ((inClass && c == 'N') || (!inClass && knownOutside.find(c) != std::u32string::npos)) {
        fail(backslash, "unsupported escape " + text);
    }
    fail(backslash + 2, "bad escape " + text);
}

// \d \D \s \S \w \W \p \P, with `i_` on the letter; nothing (and `i_` left
// alone) for any other escape.
std::optional<ClassItem> Parser::parseShorthand(std::size_t backslash) {
    const char32_t c = peek();
    ClassItem item;
    item.negated = c == 'D' || c == 'S' || c == 'W' || c == 'P';
    switch (c) {
        case 'd':
        case 'D': item.kind = ClassItem::Kind::Digit; break;
        case 's':
        case 'S': item.kind = ClassItem::Kind::Space; break;
        case 'w':
        case 'W': item.kind = ClassItem::Kind::Word; break;
        case 'p':
        case 'P': ++i_; return parseProperty(backslash, item.negated);
        default: return std::nullopt;
    }
    ++i_;
    return item;
}

// The rest of \p{Name}, \p{^Name} or \pN, with `i_` after the 'p'.
ClassItem Parser::parseProperty(std::size_t backslash, bool negated) {
    std::string name;
    if (peek() == '{') {
        ++i_;
        if (peek() == '^') {
            negated = !negated;
            ++i_;
        }
        while (!atEnd() && peek() != '}') name += utf8Of(cps_[i_++]);
        // The regex module reads these as literal text; they are surely mistakes.
        if (atEnd()) fail(backslash, "unsupported escape: \\p{ without its closing }");
    } else if (atEnd()) {
        fail(backslash, "unsupported escape: \\p without a property name");
    } else {
        name = utf8Of(peek());
    }
    ++i_;
    ClassItem item;
    item.kind = ClassItem::Kind::Categories;
    item.negated = negated;
    item.categories = categoriesNamed(name);
    if (item.categories == 0) fail(here(), "unknown or unsupported property '" + name + "'");
    return item;
}

// A class `[...]`, with `i_` on the '['.
Node Parser::parseClass(const Flags& flags) {
    const std::size_t open = here();
    ++i_;
    CharSet set;
    set.setIgnoreCase(flags.ignoreCase);
    if (peek() == '^') {
        set.setNegated(true);
        ++i_;
    }
    for (bool first = true;; first = false) {
        if (atEnd()) fail(patternSize(), "unterminated character set");
        if (peek() == ']' && !first) break;
        const ClassElement low = parseClassElement();
        if (!low.isChar) {
            set.add(low.item);
            continue;
        }
        if (peek() != '-' || peek(1) == ']' || peek(1) == kNoChar) {
            set.addRange(low.ch, low.ch);
            continue;
        }
        ++i_;
        const ClassElement high = parseClassElement();
        if (!high.isChar) {
            set.addRange(low.ch, low.ch);
            set.addRange('-', '-');
            set.add(high.item);
        } else if (high.ch < low.ch) {
            fail(here(), "bad character range");
        } else {
            set.addRange(low.ch, high.ch);
        }
    }
    ++i_;
    return oneChar(CharMatcher::set(std::move(set)), open);
}

// One character or class item inside `[...]`.
ClassElement Parser::parseClassElement() {
    const char32_t c = peek();
    if (c == '\\') return parseClassEscape();
    if (c == '[' && peek(1) == ':') {
        for (std::size_t j = i_ + 2; j + 1 < cps_.size() && cps_[j] != ']'; ++j) {
            if (cps_[j] == ':' && cps_[j + 1] == ']') fail(here(), "unsupported POSIX class [:...:]");
        }
    }
    ++i_;
    ClassElement element;
    element.ch = c;
    return element;
}

// An escape inside `[...]`, with `i_` on the backslash.
ClassElement Parser::parseClassEscape() {
    const std::size_t backslash = here();
    ++i_;
    if (atEnd()) fail(patternSize(), "bad escape (end of pattern)");
    const char32_t c = peek();
    ClassElement element;
    element.ch = c;
    if (simpleEscape(c, element.ch)) {
        ++i_;
    } else if (c == 'b') {
        ++i_;
        element.ch = 0x08;
    } else if (c == 'x' || c == 'u' || c == 'U') {
        element.ch = parseHexEscape(backslash, c);
    } else if (isOctalDigit(c)) {
        element.ch = parseOctal(3);
    } else if (const std::optional<ClassItem> item = parseShorthand(backslash)) {
        element.isChar = false;
        element.item = *item;
    } else if (isAsciiLetter(c) || c == '8' || c == '9') {
        ++i_;
        failLetterEscape(backslash, true);
    } else {
        ++i_;
    }
    return element;
}

// A quantifier after an atom, with its lazy '?' or possessive '+'.
void Parser::parseQuantifier(Node& atom) {
    Quantifier q;
    std::size_t end = 0;
    const std::size_t start = here();
    if (!quantifierAt(i_, q, end)) return;
    i_ = end;
    RepeatMode mode = RepeatMode::Greedy;
    if (peek() == '?') {
        mode = RepeatMode::Lazy;
        ++i_;
    } else if (peek() == '+') {
        mode = RepeatMode::Possessive;
        ++i_;
    }
    Quantifier again;
    if (quantifierAt(i_, again, end)) fail(here(), "multiple repeat");
    Node repeat = wrap(NodeKind::Repeat, start, std::move(atom));
    repeat.min = q.min;
    repeat.max = q.max;
    repeat.mode = mode;
    atom = std::move(repeat);
}

// Whether a quantifier starts at code point `index`: `*`, `+`, `?` or a
// well-formed `{n}`, `{n,}`, `{,m}`, `{n,m}`, `{,}` (anything else after a
// '{' makes the '{' a literal). Sets `q` and `end` (the index after it).
bool Parser::quantifierAt(std::size_t index, Quantifier& q, std::size_t& end) const {
    const char32_t c = index < cps_.size() ? cps_[index] : kNoChar;
    end = index + 1;
    if (c == '*' || c == '+' || c == '?') {
        q.min = c == '+' ? 1 : 0;
        q.max = c == '?' ? 1 : kUnbounded;
        return true;
    }
    if (c != '{') return false;
    std::size_t j = index + 1;
    const std::size_t lowStart = j;
    while (j < cps_.size() && cps_[j] >= '0' && cps_[j] <= '9') ++j;
    const bool hasLow = j > lowStart;
    bool hasComma = false, hasHigh = false;
    std::size_t highStart = j;
    if (j < cps_.size() && cps_[j] == ',') {
        hasComma = true;
        highStart = ++j;
        while (j < cps_.size() && cps_[j] >= '0' && cps_[j] <= '9') ++j;
        hasHigh = j > highStart;
    }
    if (j >= cps_.size() || cps_[j] != '}' || (!hasLow && !hasComma)) return false;
    std::size_t k = lowStart;
    q.min = hasLow ? readCount(k, index) : 0;
    k = highStart;
    q.max = hasHigh ? readCount(k, index) : hasComma ? kUnbounded : q.min;
    if (q.max < q.min) fail(offset(index + 1), "min repeat greater than max repeat");
    end = j + 1;
    return true;
}

// Whether a '{' at code point `index` that is not a quantifier starts what the
// regex module reads as a fuzzy matching constraint (`{e<=1}`, `{i}`,
// `{1<=d<3}`, `{2i+s<3}`) rather than as a literal '{'.
bool Parser::fuzzyConstraintAt(std::size_t index) const {
    Quantifier q;
    std::size_t end = 0;
    if (index >= cps_.size() || cps_[index] != '{' || quantifierAt(index, q, end)) return false;
    std::size_t j = index + 1;
    while (j < cps_.size() && cps_[j] >= '0' && cps_[j] <= '9') ++j;
    if (j == cps_.size()) return false;
    const char32_t c = cps_[j];
    if (j == index + 1) return c == 'd' || c == 'e' || c == 'i' || c == 's';
    return c == 'd' || c == 'i' || c == 's' || c == '<';
}

// The decimal count at `index`, for the quantifier whose '{' is at `brace`.
std::uint32_t Parser::readCount(std::size_t& index, std::size_t brace) const {
    std::uint64_t value = 0;
    for (; index < cps_.size() && cps_[index] >= '0' && cps_[index] <= '9'; ++index) {
        value = value * 10 + (cps_[index] - '0');
        if (value > kMaxRepeatCount) fail(offset(brace + 1), "repeat count too big");
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

ParsedPattern parsePattern(std::string_view pattern) { return Parser(pattern).run(); }

}  // namespace brevix::text::regex
