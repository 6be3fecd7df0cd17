// SPDX-License-Identifier: MIT
#pragma once
// The signed bundles around a bundle whose main executable is signed again: from the inside out,
// each one's CodeResources records the new cdhash and requirement of the bundle it holds (every other
// entry and setting kept), and its main executable binds that seal again.

#include "sign_bundle.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

struct ResealPlan {
    enum class Status { Ready, Refused, Failed };
    Status status = Status::Ready;
    std::string message;  // Refused: "BUNDLE: why"; Failed: the file that could not be read
    int error = 0;
    std::vector<PlannedWrite> writes;  // innermost first: a seal, then its executable
    std::size_t levels = 0;            // enclosing bundles re-sealed
};

// `executable`: the new bytes of `bundle`'s main executable. A bundle that is not in a nested-code
// place of the one around it, or that the seal does not list as nested code, ends the chain there.
// A developer's signature around it is replaced by an ad hoc one only when `allowDeveloper`.
ResealPlan PlanReseal(const std::filesystem::path& bundle, std::string_view executable, bool allowDeveloper);

}  // namespace codesign
