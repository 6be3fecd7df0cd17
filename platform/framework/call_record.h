// SPDX-License-Identifier: MIT
#pragma once
// The framework's calls, and the hooks and events it raised, one line each, for tests to watch.
// Without a recorder installed nothing is kept.

#include <functional>
#include <string_view>

using CallRecorder = std::function<void(std::string_view call)>;

// Installs `recorder` (nullptr: none); answers the one it replaces.
CallRecorder SetRuntimeCallRecorder(CallRecorder recorder);

void RuntimeRecordCall(std::string_view call);
