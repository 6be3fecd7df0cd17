// SPDX-License-Identifier: MIT
#pragma once
// The commit layer's side of the fault seam.

#include "file_error.h"

// False, with errno set to EIO, when the test seam fails this step.
bool StepAllowed(FileStep step);
