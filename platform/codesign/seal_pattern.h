// SPDX-License-Identifier: MIT
#pragma once
// The patterns of a bundle's CodeResources rules (POSIX extended regular expressions, as macOS
// compiles them), matched without backtracking or recursion: a pattern is compiled into a bounded
// automaton once, and a match walks the path once, at a cost bounded by a budget the caller sets.

#include <bitset>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longer patterns, deeper nesting, counts above macOS's RE_DUP_MAX or automata larger than this do
// not compile: no real seal comes near them.
inline constexpr std::size_t kMaxPatternLength = 4096;
inline constexpr std::size_t kMaxPatternDepth = 100;
inline constexpr unsigned kMaxPatternCount = 255;
inline constexpr std::size_t kMaxPatternStates = 10000;

class SealPattern {
public:
    // Nothing for a pattern that is not valid or exceeds the bounds above.
    static std::optional<SealPattern> Compile(std::string_view text);

    enum class Match { No, Yes, TooCostly };
    // Whether the pattern matches anywhere in `path`. Each step of the automaton costs one unit of
    // `budget`; TooCostly when it runs out first.
    Match Search(std::string_view path, std::size_t& budget) const;
    std::size_t States() const { return mProgram.size(); }

private:
    enum class Op : unsigned char { Byte, Split, Jump, Begin, End, Accept };
    struct Instruction {
        Op op;
        std::size_t x = 0, y = 0;  // next states; for Byte, x is the index of its byte set
    };
    std::vector<Instruction> mProgram;
    std::vector<std::bitset<256>> mSets;
};
