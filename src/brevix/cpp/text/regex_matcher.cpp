// Performance notes
// - A loop over one character class (`\p{L}+`, `\s*`, `\p{N}{1,3}`) runs in
//   a tight loop with one choice point for the whole run, which gives back
//   one character at a time by stepping back over the UTF-8; lazy loops keep
//   their count in their one choice point. Long runs cost no stack.
// - Every alternative and optional part is guarded by the bytes it can start
//   with (regex_compiler.cpp), so most alternatives of the well-known
//   patterns are passed over with one bit test and no choice point; the
//   splitter skips start positions no match can begin at the same way.
// - ASCII is classified by a 128-bit map per class; other code points go
//   through the two-stage Unicode tables.
// - Frames are written into the stack field by field; building one aside
//   and copying it in made no measurable difference on this machine.

#include "text/regex_matcher.h"

#include "text/unicode_classes.h"
#include "text/utf8.h"

namespace brevix::text::regex {

std::size_t previousBoundary(std::string_view text, std::size_t pos) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    if (s[pos - 1] < 0x80 || !detail::isContinuation(s[pos - 1])) return pos - 1;
    // A valid sequence that ends exactly at `pos` starts at a lead byte no
    // earlier sequence can reach past; otherwise the byte stands alone.
    for (std::size_t length = 2; length <= 4 && length <= pos; ++length) {
        const unsigned char lead = s[pos - length];
        if (detail::isContinuation(lead)) continue;
        if (decodeUtf8(s + pos - length, length).length == length) return pos - length;
        break;
    }
    return pos - 1;
}

namespace {

using Kind = Frame::Kind;

class Machine {
public:
    Machine(const Program& program, std::string_view text, MatchScratch& scratch)
        : program_(program),
          code_(program.code.data()),
          text_(text),
          bytes_(reinterpret_cast<const unsigned char*>(text.data())),
          size_(text.size()),
          stack_(scratch.stack),
          frames_(scratch.stack.data()),
          registers_(scratch.registers) {
        registers_.resize(program.registers);
    }

    std::size_t run(std::size_t start);

private:
    Utf8Unit unitAt(std::size_t pos) const { return decodeUtf8(bytes_ + pos, size_ - pos); }
    bool matchesAt(std::uint32_t matcher, std::size_t pos, std::size_t& next) const;
    bool guardAllows(std::uint32_t guard, std::size_t pos) const {
        return guard == kNoGuard || (pos < size_ && program_.guards[guard].contains(bytes_[pos]));
    }
    // Field by field into place: a frame built aside and copied in costs a
    // call and stalls on the copy's wide loads of its narrow stores.
    void push(Kind kind, std::uint32_t pc, std::size_t pos, std::size_t extra = 0) {
        if (top_ == stack_.size()) grow();
        Frame& frame = frames_[top_++];
        frame.pos = pos;
        frame.extra = extra;
        frame.pc = pc;
        frame.kind = kind;
    }
    void grow() {
        stack_.resize(stack_.empty() ? 64 : 2 * stack_.size());
        frames_ = stack_.data();
    }
    bool runLoop(const Inst& inst, std::uint32_t pc, std::size_t& pos);
    bool split(const Inst& inst, std::uint32_t& pc, std::size_t pos);
    bool assertionHolds(AssertKind kind, std::size_t pos) const;
    bool wordBefore(std::size_t pos) const;
    bool stepBack(std::size_t& pos, std::uint32_t count) const;
    bool lookBegin(const Inst& inst, std::uint32_t& pc, std::size_t& pos);
    Frame popToMarker();
    bool backtrack(std::uint32_t& pc, std::size_t& pos);
    bool resumeGreedy(Frame& frame, std::uint32_t& pc, std::size_t& pos);
    bool resumeLazy(Frame& frame, std::uint32_t& pc, std::size_t& pos);

    const Program& program_;
    const Inst* code_;
    std::string_view text_;
    const unsigned char* bytes_;
    std::size_t size_;
    std::vector<Frame>& stack_;
    Frame* frames_;
    std::size_t top_ = 0;
    std::vector<std::size_t>& registers_;
};

// Whether the character at `pos` passes `matcher`; `next` is the position
// after it.
bool Machine::matchesAt(std::uint32_t matcher, std::size_t pos, std::size_t& next) const {
    if (pos >= size_) return false;
    const Utf8Unit unit = unitAt(pos);
    if (!program_.matchers[matcher].matches(unit.cp)) return false;
    next = pos + unit.length;
    return true;
}

std::size_t Machine::run(std::size_t start) {
    std::uint32_t pc = 0;
    std::size_t pos = start;
    for (;;) {
        const Inst& inst = code_[pc];
        bool ok = true;
        switch (inst.op) {
            case Op::One: ok = matchesAt(inst.matcher, pos, pos); ++pc; break;
            case Op::Loop: ok = runLoop(inst, pc, pos); ++pc; break;
            case Op::Split: ok = split(inst, pc, pos); break;
            case Op::Jump: pc = inst.next; break;
            case Op::Assert: ok = assertionHolds(inst.assertion, pos); ++pc; break;
            case Op::AtomicBegin: push(Kind::Atomic, pc++, pos); break;
            case Op::AtomicEnd: popToMarker(); ++pc; break;
            case Op::LookBegin: ok = lookBegin(inst, pc, pos); break;
            case Op::LookEnd: {
                const Frame marker = popToMarker();
                pos = marker.pos;
                ok = !code_[marker.pc].negated;
                ++pc;
                break;
            }
            case Op::SaveProgress:
                push(Kind::Register, inst.matcher, registers_[inst.matcher]);
                registers_[inst.matcher] = pos;
                ++pc;
                break;
            case Op::CheckProgress: pc = pos == registers_[inst.matcher] ? inst.alt : pc + 1; break;
            case Op::Match:
                if (pos > start) return pos;
                ok = false;
                break;
        }
        if (!ok && !backtrack(pc, pos)) return kNoMatch;
    }
}

// Runs a loop over one character class from `pos`: the mandatory part, then
// as much (greedy, possessive) or as little (lazy) as it may take, with one
// choice point for the loop unless it is possessive.
bool Machine::runLoop(const Inst& inst, std::uint32_t pc, std::size_t& pos) {
    const std::size_t max = inst.max == kUnbounded ? kNoMatch : inst.max;
    std::size_t count = 0;
    std::size_t p = pos;
    for (; count < inst.min; ++count) {
        if (!matchesAt(inst.matcher, p, p)) return false;
    }
    if (inst.mode == RepeatMode::Lazy) {
        if (count < max) push(Kind::LazyLoop, pc, p, count);
        pos = p;
        return true;
    }
    const std::size_t shortest = p;
    const CharMatcher& matcher = program_.matchers[inst.matcher];
    for (; count < max && p < size_; ++count) {
        const Utf8Unit unit = unitAt(p);
        if (!matcher.matches(unit.cp)) break;
        p += unit.length;
    }
    if (inst.mode == RepeatMode::Greedy && p > shortest) push(Kind::GreedyLoop, pc, p, shortest);
    pos = p;
    return true;
}

// Takes the preferred way when its guard allows, keeping the other as a
// choice point only when its guard allows too.
bool Machine::split(const Inst& inst, std::uint32_t& pc, std::size_t pos) {
    const bool next = guardAllows(inst.guardNext, pos);
    const bool alt = guardAllows(inst.guardAlt, pos);
    if (next) {
        if (alt) push(Kind::Branch, inst.alt, pos);
        pc = inst.next;
        return true;
    }
    pc = inst.alt;
    return alt;
}

bool Machine::wordBefore(std::size_t pos) const {
    if (pos == 0) return false;
    return isWord(unitAt(previousBoundary(text_, pos)).cp);
}

bool Machine::assertionHolds(AssertKind kind, std::size_t pos) const {
    switch (kind) {
        case AssertKind::TextStart: return pos == 0;
        case AssertKind::LineStart: return pos == 0 || bytes_[pos - 1] == '\n';
        case AssertKind::TextEnd: return pos == size_;
        case AssertKind::EndOrFinalNewline:
            return pos == size_ || (pos + 1 == size_ && bytes_[pos] == '\n');
        case AssertKind::LineEnd: return pos == size_ || bytes_[pos] == '\n';
        case AssertKind::WordBoundary:
        case AssertKind::NotWordBoundary: {
            const bool after = pos < size_ && isWord(unitAt(pos).cp);
            return (wordBefore(pos) != after) == (kind == AssertKind::WordBoundary);
        }
    }
    return false;
}

// Moves `pos` back by `count` characters; false when the text starts sooner.
bool Machine::stepBack(std::size_t& pos, std::uint32_t count) const {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (pos == 0) return false;
        pos = previousBoundary(text_, pos);
    }
    return true;
}

// Enters a lookaround: its body runs from here (ahead) or from its fixed
// length back (behind), above a marker that LookEnd or a failure removes.
bool Machine::lookBegin(const Inst& inst, std::uint32_t& pc, std::size_t& pos) {
    std::size_t from = pos;
    if (inst.behind && !stepBack(from, inst.min)) {
        // The body cannot match: a negative lookbehind holds.
        pc = inst.alt;
        return inst.negated;
    }
    push(Kind::Look, pc++, pos);
    pos = from;
    return true;
}

// Drops everything above the innermost atomic or lookaround marker, and the
// marker itself, which it returns. Every group opened inside has closed by
// then, so the innermost marker is the one being closed.
Frame Machine::popToMarker() {
    while (frames_[top_ - 1].kind != Kind::Atomic && frames_[top_ - 1].kind != Kind::Look) --top_;
    return frames_[--top_];
}

// Resumes at the latest choice point; false when none is left.
bool Machine::backtrack(std::uint32_t& pc, std::size_t& pos) {
    while (top_ > 0) {
        Frame& frame = frames_[top_ - 1];
        switch (frame.kind) {
            case Kind::Branch:
                pc = frame.pc;
                pos = frame.pos;
                --top_;
                return true;
            case Kind::GreedyLoop:
                if (resumeGreedy(frame, pc, pos)) return true;
                break;
            case Kind::LazyLoop:
                if (resumeLazy(frame, pc, pos)) return true;
                break;
            case Kind::Atomic: --top_; break;
            case Kind::Look: {
                const Frame marker = frame;
                --top_;
                // The body failed: a negative lookaround holds.
                if (code_[marker.pc].negated) {
                    pc = code_[marker.pc].alt;
                    pos = marker.pos;
                    return true;
                }
                break;
            }
            case Kind::Register:
                registers_[frame.pc] = frame.pos;
                --top_;
                break;
        }
    }
    return false;
}

// Gives back one character of a greedy loop; the frame goes once the loop
// is back at its shortest.
bool Machine::resumeGreedy(Frame& frame, std::uint32_t& pc, std::size_t& pos) {
    pos = previousBoundary(text_, frame.pos);
    pc = frame.pc + 1;
    if (pos <= frame.extra) {
        --top_;
    } else {
        frame.pos = pos;
    }
    return true;
}

// Takes one more character into a lazy loop, if it can.
bool Machine::resumeLazy(Frame& frame, std::uint32_t& pc, std::size_t& pos) {
    const Inst& inst = code_[frame.pc];
    std::size_t next = 0;
    if (!matchesAt(inst.matcher, frame.pos, next)) {
        --top_;
        return false;
    }
    pos = next;
    pc = frame.pc + 1;
    frame.pos = next;
    if (++frame.extra >= inst.max) --top_;
    return true;
}

}  // namespace

std::size_t matchAt(const Program& program, std::string_view text, std::size_t start,
                    MatchScratch& scratch) {
    return Machine(program, text, scratch).run(start);
}

}  // namespace brevix::text::regex
