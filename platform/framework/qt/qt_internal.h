// SPDX-License-Identifier: MIT
#pragma once
// What the framework's Qt parts share among themselves; not for the program.

#include "menu.h"

#include <QString>

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QMainWindow;
class QWidget;

QString ToQString(const std::string& bytes);
// Carriage returns (the program's line ends) become Qt's line feeds.
QString ToDisplayText(const std::string& bytes);
std::string FromQString(const QString& text);
std::string PathFromQString(const QString& path);

// A StaticText's label, owned by `parent`; its lines are fitted once it is shown.
QLabel* NewFittedLabel(QWidget* parent);

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

// One instance per user: the first listens, later ones hand their paths over. Answers how many
// of the paths, from the first, the running instance took (each opened by it exactly once), and
// whether it took them all; the rest are the caller's to open. With no paths, `all` says that it
// heard.
struct HandOver {
    bool all = false;
    std::size_t taken = 0;
};
HandOver HandToRunningInstance(const std::vector<std::string>& paths);
// Listens unless another instance lives; then this one runs alone and leaves that one's socket.
void ListenForOtherInstances();
void StopListening();

// How long a later instance waits to connect and for each answer, how long the running one keeps
// a connection that completes nothing, and how soon it accepts again after accepting failed.
struct InstanceLinkTimes {
    std::chrono::milliseconds connect{1000}, answer{10000}, idle{5000}, retry{250};
};
InstanceLinkTimes SetInstanceLinkTimes(InstanceLinkTimes times);  // answers the times before
