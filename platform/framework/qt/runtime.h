// SPDX-License-Identifier: MIT
#pragma once
// The framework's start, event loop and application object.

#include "platform/framework/call_record.h"
#include "platform/framework/folder_item.h"

#include <memory>
#include <string>
#include <vector>

class Application;
using ApplicationRef = std::shared_ptr<Application>;

// Starts the framework. Every argument after the program's name is one path to open. When
// another instance of the same user runs, the paths are handed to it and the process exits 0.
void RuntimeInit(int argc, char** argv, char** envp);
void RuntimeInitExternalClasses();
// The event loop, until the application quits; returns at once after a start-up error.
void RuntimeRun();
// Releases the application object; answers the process's exit status.
int RuntimeExit();

// The framework's quit action (the Quit menu item, SIGINT, SIGTERM): the event loop ends.
void RuntimeQuit();
// A start-up step failed: the message goes to standard error and, with a display, to a box;
// the event loop does not run and the exit status is 1.
void RuntimeStartupError(const std::string& message);

void RuntimeRegisterAppObject(const ApplicationRef& app);
ApplicationRef getAppObject();

// Raises OpenDocument for each path, in order, one event at a time.
void RuntimeOpenDocuments(const std::vector<std::string>& paths);

// Lets pending work (repaints, timers) run, taking no user input.
void RuntimeBackgroundTask();

std::string EndOfLine();
