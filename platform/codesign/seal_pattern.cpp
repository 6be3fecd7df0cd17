// SPDX-License-Identifier: MIT
#include "seal_pattern.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace {

using ByteSet = std::bitset<256>;

// The parsed pattern: children always come before their parents, and a counted repeat shares its
// operand among its copies, so that sizes are summed in one pass in index order.
struct Node {
    enum class Kind { Empty, Set, Begin, End, Concat, Alternate, Star, Plus, Optional } kind;
    std::size_t a = 0, b = 0;  // operands; for Set, a is the set's index
};

bool ClassSet(std::string_view name, ByteSet& set)
{
    static const struct {
        const char* name;
        int (*test)(int);
    } kClasses[] = {
        {"alpha", [](int c) { return int((c | 32) >= 'a' && (c | 32) <= 'z'); }},
        {"digit", [](int c) { return int(c >= '0' && c <= '9'); }},
        {"alnum", [](int c) { return int((c >= '0' && c <= '9') || ((c | 32) >= 'a' && (c | 32) <= 'z')); }},
        {"upper", [](int c) { return int(c >= 'A' && c <= 'Z'); }},
        {"lower", [](int c) { return int(c >= 'a' && c <= 'z'); }},
        {"space", [](int c) { return int(c == ' ' || (c >= '\t' && c <= '\r')); }},
        {"blank", [](int c) { return int(c == ' ' || c == '\t'); }},
        {"cntrl", [](int c) { return int(c < 32 || c == 127); }},
        {"print", [](int c) { return int(c >= 32 && c < 127); }},
        {"graph", [](int c) { return int(c > 32 && c < 127); }},
        {"punct",
         [](int c) {
             return int(c > 32 && c < 127 && !(c >= '0' && c <= '9') &&
                        !((c | 32) >= 'a' && (c | 32) <= 'z'));
         }},
        {"xdigit", [](int c) { return int((c >= '0' && c <= '9') || ((c | 32) >= 'a' && (c | 32) <= 'f')); }},
    };
    for (const auto& entry : kClasses)
        if (name == entry.name) {
            for (int c = 0; c < 256; ++c)
                if (entry.test(c)) set.set(std::size_t(c));
            return true;
        }
    return false;
}

class Parser {
public:
    explicit Parser(std::string_view text) : mText(text) {}

    // The root node, or nothing for a pattern that is not valid or too large.
    std::optional<std::size_t> Parse()
    {
        mFrames.push_back({});
        while (mPos < mText.size()) {
            if (mNodes.size() > kMaxNodes) return std::nullopt;
            const char c = mText[mPos++];
            switch (c) {
            case '(':
                if (mFrames.size() > kMaxPatternDepth) return std::nullopt;
                mFrames.push_back({});
                break;
            case ')': {
                if (mFrames.size() < 2) return std::nullopt;
                const std::size_t group = Finish(mFrames.back());
                mFrames.pop_back();
                Atom(group);
                break;
            }
            case '|': {
                Frame& frame = mFrames.back();
                const std::size_t branch = Sequence(frame);
                frame.alternate =
                    frame.alternate ? Add(Node::Kind::Alternate, *frame.alternate, branch) : branch;
                frame.sequence.reset();
                break;
            }
            case '*':
            case '+':
            case '?':
                if (!Quantify(c == '+' ? 1 : 0, c == '?' ? 1 : kUnbounded)) return std::nullopt;
                break;
            case '{':
                if (!Bound()) return std::nullopt;
                break;
            case '^': Atom(Add(Node::Kind::Begin)); break;
            case '$': Atom(Add(Node::Kind::End)); break;
            case '.': {
                ByteSet any;
                any.set().reset(0);
                Atom(AddSet(any));
                break;
            }
            case '[':
                if (!Bracket()) return std::nullopt;
                break;
            case '\\':
                if (mPos == mText.size()) return std::nullopt;
                Atom(Literal(mText[mPos++]));
                break;
            default: Atom(Literal(c));
            }
        }
        if (mFrames.size() != 1 || mNodes.size() > kMaxNodes) return std::nullopt;
        return Finish(mFrames.back());
    }

    std::vector<Node> mNodes;
    std::vector<ByteSet> mSets;

private:
    static constexpr unsigned kUnbounded = ~0u;
    static constexpr std::size_t kMaxNodes = 1 << 16;

    struct Frame {
        std::optional<std::size_t> alternate, sequence, atom;
    };

    std::size_t Add(Node::Kind kind, std::size_t a = 0, std::size_t b = 0)
    {
        mNodes.push_back({kind, a, b});
        return mNodes.size() - 1;
    }
    std::size_t AddSet(const ByteSet& set)
    {
        mSets.push_back(set);
        return Add(Node::Kind::Set, mSets.size() - 1);
    }
    std::size_t Literal(char c)
    {
        ByteSet set;
        set.set(static_cast<unsigned char>(c));
        return AddSet(set);
    }
    std::size_t Join(std::optional<std::size_t> a, std::size_t b)
    {
        return a ? Add(Node::Kind::Concat, *a, b) : b;
    }
    void Flush(Frame& frame)
    {
        if (frame.atom) frame.sequence = Join(frame.sequence, *frame.atom);
        frame.atom.reset();
    }
    std::size_t Sequence(Frame& frame)
    {
        Flush(frame);
        return frame.sequence ? *frame.sequence : Add(Node::Kind::Empty);
    }
    std::size_t Finish(Frame& frame)
    {
        const std::size_t branch = Sequence(frame);
        return frame.alternate ? Add(Node::Kind::Alternate, *frame.alternate, branch) : branch;
    }
    void Atom(std::size_t node)
    {
        Frame& frame = mFrames.back();
        Flush(frame);
        frame.atom = node;
    }

    // The last atom repeated: the language of x{m,n} is m copies of x and n - m optional ones.
    bool Quantify(unsigned least, unsigned most)
    {
        Frame& frame = mFrames.back();
        if (!frame.atom) return false;
        const std::size_t x = *frame.atom;
        if (least == 0 && most == kUnbounded) {
            frame.atom = Add(Node::Kind::Star, x);
        } else if (least == 1 && most == kUnbounded) {
            frame.atom = Add(Node::Kind::Plus, x);
        } else if (least == 0 && most == 1) {
            frame.atom = Add(Node::Kind::Optional, x);
        } else {
            std::optional<std::size_t> copies;
            for (unsigned i = 0; i < least; ++i) copies = Join(copies, x);
            if (most == kUnbounded)
                copies = Join(copies, Add(Node::Kind::Star, x));
            else
                for (unsigned i = least; i < most; ++i) copies = Join(copies, Add(Node::Kind::Optional, x));
            frame.atom = copies ? *copies : Add(Node::Kind::Empty);
        }
        return true;
    }

    std::optional<unsigned> Count()
    {
        unsigned value = 0;
        const std::size_t start = mPos;
        while (mPos < mText.size() && mText[mPos] >= '0' && mText[mPos] <= '9') {
            value = value * 10 + unsigned(mText[mPos++] - '0');
            if (value > kMaxPatternCount) return std::nullopt;
        }
        if (mPos == start) return std::nullopt;
        return value;
    }

    bool Bound()
    {
        const std::optional<unsigned> least = Count();
        if (!least || mPos == mText.size()) return false;
        unsigned most = *least;
        if (mText[mPos] == ',') {
            ++mPos;
            most = kUnbounded;
            if (mPos < mText.size() && mText[mPos] != '}') {
                const std::optional<unsigned> given = Count();
                if (!given || *given < *least) return false;
                most = *given;
            }
        }
        if (mPos == mText.size() || mText[mPos++] != '}') return false;
        return Quantify(*least, most);
    }

    // [...]: a backslash is an ordinary character within; a leading ']' is one too.
    bool Bracket()
    {
        ByteSet set;
        const bool negated = mPos < mText.size() && mText[mPos] == '^';
        if (negated) ++mPos;
        bool first = true;
        for (;;) {
            if (mPos == mText.size()) return false;
            unsigned char c = static_cast<unsigned char>(mText[mPos++]);
            if (c == ']' && !first) break;
            first = false;
            if (c == '[' && mPos < mText.size() && mText[mPos] == ':') {
                const std::size_t end = mText.find(":]", mPos + 1);
                if (end == std::string_view::npos || !ClassSet(mText.substr(mPos + 1, end - mPos - 1), set))
                    return false;
                mPos = end + 2;
                continue;
            }
            if (c == '[' && mPos < mText.size() && (mText[mPos] == '.' || mText[mPos] == '=')) return false;
            if (mPos + 1 < mText.size() && mText[mPos] == '-' && mText[mPos + 1] != ']') {
                const unsigned char last = static_cast<unsigned char>(mText[mPos + 1]);
                if (last < c) return false;
                for (unsigned b = c; b <= last; ++b) set.set(b);
                mPos += 2;
                continue;
            }
            set.set(c);
        }
        if (negated) set.flip().reset(0);
        Atom(AddSet(set));
        return true;
    }

    std::string_view mText;
    std::size_t mPos = 0;
    std::vector<Frame> mFrames;
};

// How many states each node compiles to, at most kMaxPatternStates + 1 (too many).
std::vector<std::size_t> Sizes(const std::vector<Node>& nodes)
{
    using Kind = Node::Kind;
    std::vector<std::size_t> sizes(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        std::size_t size = 0;
        switch (n.kind) {
        case Kind::Empty: size = 0; break;
        case Kind::Set:
        case Kind::Begin:
        case Kind::End: size = 1; break;
        case Kind::Concat: size = sizes[n.a] + sizes[n.b]; break;
        case Kind::Alternate: size = sizes[n.a] + sizes[n.b] + 2; break;
        case Kind::Star: size = sizes[n.a] + 2; break;
        case Kind::Plus:
        case Kind::Optional: size = sizes[n.a] + 1; break;
        }
        sizes[i] = std::min(size, kMaxPatternStates + 1);
    }
    return sizes;
}

}  // namespace

std::optional<SealPattern> SealPattern::Compile(std::string_view text)
{
    if (text.size() > kMaxPatternLength) return std::nullopt;
    Parser parser(text);
    const std::optional<std::size_t> root = parser.Parse();
    if (!root) return std::nullopt;
    if (Sizes(parser.mNodes)[*root] >= kMaxPatternStates) return std::nullopt;

    // Emitted with a stack of tasks, not by recursion: an Emit task writes a node's states, the
    // others complete the jumps of a node whose operands were written meanwhile.
    using Kind = Node::Kind;
    enum class Task { Emit, StarEnd, PlusEnd, PatchY, AlternateMiddle, PatchX };
    struct Step {
        Task task;
        std::size_t value;     // the node for Emit, else the state to complete
        std::size_t node = 0;  // for AlternateMiddle: the second branch
    };
    SealPattern pattern;
    pattern.mSets = std::move(parser.mSets);
    std::vector<Instruction>& program = pattern.mProgram;
    program.reserve(kMaxPatternStates);
    std::vector<Step> steps{{Task::Emit, *root}};
    while (!steps.empty()) {
        const Step step = steps.back();
        steps.pop_back();
        const std::size_t here = program.size();
        switch (step.task) {
        case Task::Emit: {
            const Node& n = parser.mNodes[step.value];
            switch (n.kind) {
            case Kind::Empty: break;
            case Kind::Set: program.push_back({Op::Byte, n.a, here + 1}); break;
            case Kind::Begin: program.push_back({Op::Begin, here + 1}); break;
            case Kind::End: program.push_back({Op::End, here + 1}); break;
            case Kind::Concat:
                steps.push_back({Task::Emit, n.b});
                steps.push_back({Task::Emit, n.a});
                break;
            case Kind::Alternate:
                program.push_back({Op::Split, here + 1, 0});
                steps.push_back({Task::AlternateMiddle, here, n.b});
                steps.push_back({Task::Emit, n.a});
                break;
            case Kind::Star:
                program.push_back({Op::Split, here + 1, 0});
                steps.push_back({Task::StarEnd, here});
                steps.push_back({Task::Emit, n.a});
                break;
            case Kind::Plus:
                steps.push_back({Task::PlusEnd, here});
                steps.push_back({Task::Emit, n.a});
                break;
            case Kind::Optional:
                program.push_back({Op::Split, here + 1, 0});
                steps.push_back({Task::PatchY, here});
                steps.push_back({Task::Emit, n.a});
                break;
            }
            break;
        }
        case Task::StarEnd:
            program.push_back({Op::Jump, step.value});
            program[step.value].y = here + 1;
            break;
        case Task::PlusEnd: program.push_back({Op::Split, step.value, here + 1}); break;
        case Task::PatchY: program[step.value].y = here; break;
        case Task::AlternateMiddle: {
            // After the first branch: jump past the second, which the split's other arm enters.
            program.push_back({Op::Jump, 0});
            program[step.value].y = here + 1;
            steps.push_back({Task::PatchX, here});
            steps.push_back({Task::Emit, step.node});
            break;
        }
        case Task::PatchX: program[step.value].x = here; break;
        }
    }
    program.push_back({Op::Accept});
    return pattern;
}

SealPattern::Match SealPattern::Search(std::string_view path, std::size_t& budget) const
{
    const std::size_t states = mProgram.size();
    // Sparse sets of the live states: cleared in constant time, each state at most once per position.
    std::vector<std::size_t> current, next, stack;
    std::vector<std::size_t> seenAt(states, SIZE_MAX);
    current.reserve(states);
    next.reserve(states);
    // Follows the jumps from `start` at `position`, adding the states that read a byte to `into`.
    const auto add = [&](std::vector<std::size_t>& into, std::size_t start, std::size_t position) {
        stack.assign(1, start);
        while (!stack.empty()) {
            const std::size_t s = stack.back();
            stack.pop_back();
            if (seenAt[s] == position) continue;
            seenAt[s] = position;
            if (budget == 0) return Match::TooCostly;
            --budget;
            const Instruction& in = mProgram[s];
            switch (in.op) {
            case Op::Accept: return Match::Yes;
            case Op::Byte: into.push_back(s); break;
            case Op::Jump: stack.push_back(in.x); break;
            case Op::Split:
                stack.push_back(in.y);
                stack.push_back(in.x);
                break;
            case Op::Begin:
                if (position == 0) stack.push_back(in.x);
                break;
            case Op::End:
                if (position == path.size()) stack.push_back(in.x);
                break;
            }
        }
        return Match::No;
    };
    for (std::size_t position = 0;; ++position) {
        // A match may start anywhere.
        if (const Match m = add(current, 0, position); m != Match::No) return m;
        if (position == path.size()) return Match::No;
        const unsigned char byte = static_cast<unsigned char>(path[position]);
        next.clear();
        for (const std::size_t s : current) {
            if (budget == 0) return Match::TooCostly;
            --budget;
            if (mSets[mProgram[s].x].test(byte))
                if (const Match m = add(next, mProgram[s].y, position + 1); m != Match::No) return m;
        }
        current.swap(next);
    }
}
