// SPDX-License-Identifier: MIT
#pragma once
// What the framework's Qt parts share among themselves; not for the program.

#include "menu.h"

#include <QString>

#include <exception>
#include <functional>
#include <string>
#include <vector>

class QMainWindow;
class QWidget;

QString ToQString(const std::string& bytes);
// Carriage returns (the program's line ends) become Qt's line feeds.
QString ToDisplayText(const std::string& bytes);
std::string FromQString(const QString& text);
std::string PathFromQString(const QString& path);

// Runs a handler of the program's. An exception that escapes it is shown in a modal message
// naming it, and the program goes on.
void RuntimeHandle(const std::function<void()>& handler);
bool RuntimeHandlerRunning();

// The modal boxes of the framework's own: MsgBox, an unhandled exception, a failed start-up
// (shown only where a user can see it).
void ShowMsgBox(const std::string& text);
void ReportUnhandledException(const std::exception& error);
void ShowStartupError(const std::string& message);

// Open-document events wait here until no handler of the program's runs.
void SetPendingDocuments(std::vector<std::string> paths);
void ScheduleOpenDocuments();

// Applies AutoEnable to every item, raises EnableMenuItems, and shows the result.
void RuntimeRecomputeMenus();
// Gives the window a Qt menu bar built from the tree; the About item goes to a "&Help" menu.
void InstallQtMenuBar(QMainWindow& window, const MenuBarRef& bar);
void RunMenuItem(const MenuItemRef& item);

// The window a modal dialog belongs to, or nullptr.
QWidget* RuntimeDialogParent();
// Brings the program's windows to the front, as when its icon is opened again.
void RuntimeActivateWindows();

// One instance per user: the first listens, later ones hand their paths over.
bool HandToRunningInstance(const std::vector<std::string>& paths);
void ListenForOtherInstances();
void StopListening();
