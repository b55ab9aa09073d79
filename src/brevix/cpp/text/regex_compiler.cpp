#include "text/regex_compiler.h"

#include <utility>
#include <vector>

#include "text/splitter.h"

namespace brevix::text::regex {

namespace {

// What a subpattern can match: the empty string or not, and the bytes a
// non-empty match can start with.
struct Facts {
    bool nullable = true;
    ByteSet first;
};

// The length in characters of every match of `node`, or -1 when matches
// can differ in length.
long long fixedLength(const Node& node) {
    switch (node.kind) {
        case NodeKind::Empty:
        case NodeKind::Look:
        case NodeKind::Assertion: return 0;
        case NodeKind::OneChar: return 1;
        case NodeKind::Atomic: return fixedLength(node.children[0]);
        case NodeKind::Sequence: {
            long long total = 0;
            for (const Node& child : node.children) {
                const long long n = fixedLength(child);
                if (n < 0 || total + n > kUnbounded) return -1;
                total += n;
            }
            return total;
        }
        case NodeKind::Alternation: {
            const long long n = fixedLength(node.children[0]);
            for (const Node& child : node.children) {
                if (fixedLength(child) != n) return -1;
            }
            return n;
        }
        case NodeKind::Repeat: {
            const long long n = fixedLength(node.children[0]);
            if (n == 0) return 0;
            if (n < 0 || node.min != node.max || n * node.min > kUnbounded) return -1;
            return n * node.min;
        }
    }
    return -1;
}

class Compiler {
public:
    explicit Compiler(ParsedPattern parsed) : parsed_(std::move(parsed)) {}
    Program run();

private:
    Facts factsOf(const Node& node) const;
    std::uint32_t guardFor(const Facts& facts);
    void requireRoom(const Node& repeat, std::size_t perCopy, std::size_t copies) const;
    std::uint32_t add(Inst inst, const Node& node);
    std::uint32_t here() const { return static_cast<std::uint32_t>(code_.size()); }

    void emit(const Node& node);
    void emitAlternation(const Node& node);
    void emitRepeat(const Node& node, RepeatMode mode);
    void emitStar(const Node& node, RepeatMode mode, const Facts& body);
    void emitOptionals(const Node& node, RepeatMode mode, const Facts& body);
    void emitLook(const Node& node);
    void emitLookbehindAlternatives(const Node& node);

    ParsedPattern parsed_;
    std::vector<Inst> code_;
    std::vector<ByteSet> guards_;
    std::uint32_t registers_ = 0;
};

// The whole pattern, then Match.
Program Compiler::run() {
    emit(parsed_.root);
    Inst match;
    match.op = Op::Match;
    add(match, parsed_.root);
    Program program;
    program.firstBytes = factsOf(parsed_.root).first;
    program.code = std::move(code_);
    program.guards = std::move(guards_);
    program.registers = registers_;
    program.matchers = std::move(parsed_.matchers);
    return program;
}

// Computed afresh per call: patterns are small and nesting is bounded.
Facts Compiler::factsOf(const Node& node) const {
    Facts facts;
    switch (node.kind) {
        case NodeKind::Empty:
        case NodeKind::Look:
        case NodeKind::Assertion: break;
        case NodeKind::OneChar:
            facts.nullable = false;
            facts.first = parsed_.matchers[node.matcher].firstBytes();
            break;
        case NodeKind::Atomic: facts = factsOf(node.children[0]); break;
        case NodeKind::Repeat:
            facts = factsOf(node.children[0]);
            facts.nullable = facts.nullable || node.min == 0;
            break;
        case NodeKind::Sequence:
            for (const Node& child : node.children) {
                const Facts next = factsOf(child);
                facts.first.addAll(next.first);
                if (!next.nullable) {
                    facts.nullable = false;
                    break;
                }
            }
            break;
        case NodeKind::Alternation:
            facts.nullable = false;
            for (const Node& child : node.children) {
                const Facts next = factsOf(child);
                facts.first.addAll(next.first);
                facts.nullable = facts.nullable || next.nullable;
            }
            break;
    }
    return facts;
}

// A guard for a path whose matches are `facts`: none when it can match the
// empty string (what follows decides then) or start with any byte.
std::uint32_t Compiler::guardFor(const Facts& facts) {
    if (facts.nullable || facts.first.full()) return kNoGuard;
    guards_.push_back(facts.first);
    return static_cast<std::uint32_t>(guards_.size() - 1);
}

// Refuses a repetition whose `copies` copies of `perCopy` instructions would
// take the program past kMaxProgramSize.
void Compiler::requireRoom(const Node& repeat, std::size_t perCopy, std::size_t copies) const {
    if (perCopy != 0 && copies > (kMaxProgramSize - code_.size()) / perCopy + 1) {
        throw PatternError(repeat.position, "unsupported: the pattern is too large once its "
                                            "counted repetitions are written out");
    }
}

// Appends `inst` (for `node`) and returns its index.
std::uint32_t Compiler::add(Inst inst, const Node& node) {
    if (code_.size() >= kMaxProgramSize) {
        throw PatternError(node.position, "unsupported: the pattern is too large once its "
                                          "counted repetitions are written out");
    }
    code_.push_back(inst);
    return here() - 1;
}

// The instructions of `node`, appended.
void Compiler::emit(const Node& node) {
    Inst inst;
    switch (node.kind) {
        case NodeKind::Empty: break;
        case NodeKind::OneChar:
            inst.op = Op::One;
            inst.matcher = node.matcher;
            add(inst, node);
            break;
        case NodeKind::Sequence:
            for (const Node& child : node.children) emit(child);
            break;
        case NodeKind::Alternation: emitAlternation(node); break;
        case NodeKind::Repeat: emitRepeat(node, node.mode); break;
        case NodeKind::Atomic:
            inst.op = Op::AtomicBegin;
            add(inst, node);
            emit(node.children[0]);
            inst.op = Op::AtomicEnd;
            add(inst, node);
            break;
        case NodeKind::Look: emitLook(node); break;
        case NodeKind::Assertion:
            inst.op = Op::Assert;
            inst.assertion = node.assertion;
            add(inst, node);
            break;
    }
}

// Split to each alternative in turn, each guarded by the bytes it can start
// with and the way on guarded by what the remaining ones can start with.
void Compiler::emitAlternation(const Node& node) {
    const std::size_t n = node.children.size();
    std::vector<Facts> rest(n);  // rest[i]: the alternatives from i on
    rest[n - 1] = factsOf(node.children[n - 1]);
    for (std::size_t i = n - 1; i-- > 0;) {
        rest[i] = factsOf(node.children[i]);
        rest[i].first.addAll(rest[i + 1].first);
        rest[i].nullable = rest[i].nullable || rest[i + 1].nullable;
    }
    std::vector<std::uint32_t> exits;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        Inst split;
        split.op = Op::Split;
        split.guardNext = guardFor(factsOf(node.children[i]));
        split.guardAlt = guardFor(rest[i + 1]);
        const std::uint32_t at = add(split, node);
        code_[at].next = here();
        emit(node.children[i]);
        Inst jump;
        jump.op = Op::Jump;
        exits.push_back(add(jump, node));
        code_[at].alt = here();
    }
    emit(node.children[n - 1]);
    for (std::uint32_t at : exits) code_[at].next = here();
}

// One character repeated becomes a Loop; anything else is written out:
// min copies, then a loop or max - min optional copies. Possessive is atomic
// greedy.
void Compiler::emitRepeat(const Node& node, RepeatMode mode) {
    const Node& body = node.children[0];
    if (node.max == 0) return;
    if (body.kind == NodeKind::OneChar) {
        Inst loop;
        loop.op = Op::Loop;
        loop.matcher = body.matcher;
        loop.min = node.min;
        loop.max = node.max;
        loop.mode = mode;
        add(loop, node);
        return;
    }
    if (mode == RepeatMode::Possessive) {
        Inst atomic;
        atomic.op = Op::AtomicBegin;
        add(atomic, node);
        emitRepeat(node, RepeatMode::Greedy);
        atomic.op = Op::AtomicEnd;
        add(atomic, node);
        return;
    }
    if (fixedLength(body) == 0) {
        // Nothing consumed: repeating it changes nothing, so once is enough.
        if (node.min > 0) emit(body);
        return;
    }
    for (std::uint32_t i = 0; i < node.min; ++i) {
        const std::uint32_t before = here();
        emit(body);
        if (i == 0) requireRoom(node, here() - before, node.min);
    }
    if (node.max == node.min) return;
    const Facts facts = factsOf(body);
    if (node.max == kUnbounded) {
        emitStar(node, mode, facts);
    } else {
        emitOptionals(node, mode, facts);
    }
}

// Any number of further copies of the body. A body that can match empty
// saves its start position, and an iteration that matched nothing ends the
// loop (the regex module's rule), so the loop always ends.
void Compiler::emitStar(const Node& node, RepeatMode mode, const Facts& body) {
    const std::uint32_t reg = body.nullable ? registers_++ : 0;
    Inst split;
    split.op = Op::Split;
    const std::uint32_t top = add(split, node);
    const std::uint32_t start = here();
    Inst progress;
    progress.matcher = reg;
    if (body.nullable) {
        progress.op = Op::SaveProgress;
        add(progress, node);
    }
    emit(node.children[0]);
    std::uint32_t check = kNoGuard;
    if (body.nullable) {
        progress.op = Op::CheckProgress;
        check = add(progress, node);
    }
    Inst jump;
    jump.op = Op::Jump;
    jump.next = top;
    add(jump, node);
    const std::uint32_t exit = here();
    if (check != kNoGuard) code_[check].alt = exit;
    Inst& s = code_[top];
    s.next = mode == RepeatMode::Greedy ? start : exit;
    s.alt = mode == RepeatMode::Greedy ? exit : start;
    (mode == RepeatMode::Greedy ? s.guardNext : s.guardAlt) = guardFor(body);
}

// max - min optional copies, each entered only after the one before.
void Compiler::emitOptionals(const Node& node, RepeatMode mode, const Facts& body) {
    const std::uint32_t reg = body.nullable ? registers_++ : 0;
    const std::uint32_t guard = guardFor(body);
    std::vector<std::uint32_t> splits, checks;
    for (std::uint32_t i = node.min; i < node.max; ++i) {
        const std::uint32_t before = here();
        if (i == node.min + 1) requireRoom(node, before - splits.front(), node.max - node.min);
        Inst split;
        split.op = Op::Split;
        (mode == RepeatMode::Greedy ? split.guardNext : split.guardAlt) = guard;
        const std::uint32_t at = add(split, node);
        splits.push_back(at);
        (mode == RepeatMode::Greedy ? code_[at].next : code_[at].alt) = here();
        Inst progress;
        progress.matcher = reg;
        if (body.nullable) {
            progress.op = Op::SaveProgress;
            add(progress, node);
        }
        emit(node.children[0]);
        if (body.nullable) {
            progress.op = Op::CheckProgress;
            checks.push_back(add(progress, node));
        }
    }
    const std::uint32_t exit = here();
    for (std::uint32_t at : splits) {
        (mode == RepeatMode::Greedy ? code_[at].alt : code_[at].next) = exit;
    }
    for (std::uint32_t at : checks) code_[at].alt = exit;
}

// A lookaround between LookBegin and LookEnd; a lookbehind steps back its
// fixed length first.
void Compiler::emitLook(const Node& node) {
    const Node& body = node.children[0];
    const long long length = node.behind ? fixedLength(body) : 0;
    if (length < 0) {
        emitLookbehindAlternatives(node);
        return;
    }
    Inst begin;
    begin.op = Op::LookBegin;
    begin.behind = node.behind;
    begin.negated = node.negated;
    begin.min = static_cast<std::uint32_t>(length);
    const std::uint32_t at = add(begin, node);
    emit(body);
    Inst end;
    end.op = Op::LookEnd;
    add(end, node);
    code_[at].alt = here();
}

// (?<=A|B) as (?<=A)|(?<=B), and (?<!A|B) as (?<!A)(?<!B), when each
// alternative has a fixed length of its own.
void Compiler::emitLookbehindAlternatives(const Node& node) {
    const Node& body = node.children[0];
    if (body.kind != NodeKind::Alternation) {
        throw PatternError(node.position, "unsupported: lookbehind of variable length");
    }
    Node split;
    split.kind = node.negated ? NodeKind::Sequence : NodeKind::Alternation;
    split.position = node.position;
    for (const Node& alternative : body.children) {
        if (fixedLength(alternative) < 0) {
            throw PatternError(node.position, "unsupported: lookbehind of variable length");
        }
        Node look = node;
        look.children = {alternative};
        split.children.push_back(std::move(look));
    }
    emit(split);
}

}  // namespace

Program compileProgram(ParsedPattern parsed) { return Compiler(std::move(parsed)).run(); }

}  // namespace brevix::text::regex
