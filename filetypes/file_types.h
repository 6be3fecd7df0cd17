// SPDX-License-Identifier: MIT
#pragma once
// The program's four file types, made and registered once at start-up.

#include "file_type.h"

namespace FileTypes {

extern FileTypeRef pText;
extern FileTypeRef pSpecialApplication;
extern FileTypeRef pResource;
extern FileTypeRef pSpecialFolder;

// Builds and registers the four types, in the order above.
void _Initialize();
// Module finalisation: releases them in the same order, which withdraws their registrations.
void _Finalize();

}  // namespace FileTypes
