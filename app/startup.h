// SPDX-License-Identifier: MIT
#pragma once
// Start-up in its fixed order, and module finalisation.

// Binds the plug-in, makes the file types, the application object and the main window, then
// runs the event loop until the application quits.
void _Main();

void _InitFileTypes();
void _NewAppInstance();
void _ApplicationAddMenuHandlers();
void _MakeDefaultView();

// Releases the windows, then the four file types in their order, then the menu bar.
void _ModuleFinalize();
