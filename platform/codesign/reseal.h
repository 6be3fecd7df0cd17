// SPDX-License-Identifier: MIT
#pragma once
// The signed bundles around a bundle whose main executable is signed again: from the inside out,
// each one's CodeResources records the new cdhash and requirement of the bundle it holds (every other
// entry and setting kept), and its main executable binds that seal again.

#include "sign_bundle.h"

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

// Left in an enclosing bundle's _CodeSignature while the chain's files go in: it names that folder
// and the seal this chain writes there, so that a later run finishes a chain cut short between a
// seal and its executable only when the cut-short state is one of ours.
struct ResealMarker {
    SharedFd folder;
    std::string bytes;
};

struct ResealPlan {
    enum class Status { Ready, Refused, Failed };
    Status status = Status::Ready;
    std::string message;  // Refused: "BUNDLE: why"; Failed: the file that could not be read
    int error = 0;
    std::vector<PlannedWrite> writes;   // innermost first: a seal, then its executable
    std::size_t levels = 0;             // enclosing bundles re-sealed
    std::vector<ResealMarker> markers;  // one for each level: placed before the commit
    std::vector<ResealMarker> stale;    // ours, beside a level found done: a run killed after its commit
};

// `executable`: the new bytes of `bundle`'s main executable. A bundle that is not in a nested-code
// place of the one around it, or that the seal does not list as nested code, ends the chain there.
// A developer's signature around it is replaced by an ad hoc one only when `allowDeveloper`.
ResealPlan PlanReseal(const std::filesystem::path& bundle, std::string_view executable, bool allowDeveloper);

// Written and flushed before the chain's commit (never in a run that writes nothing); false, with
// errno, when one could not be.
bool PlaceMarkers(const std::vector<ResealMarker>& markers);
// Once every file of the chain is in.
void RemoveMarkers(const std::vector<ResealMarker>& markers);
// A marker of ours that a killed chain left beside a seal about to be made anew, whatever it names:
// left there, it would break the new signature.
void RemoveOwnMarker(int sealFolder, uid_t owner);

}  // namespace codesign
