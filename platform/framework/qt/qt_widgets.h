// SPDX-License-Identifier: MIT
#pragma once
// The Qt widgets behind the framework's windows and controls, for tests and screenshots.

class QMainWindow;
class QWidget;
class Window;
class Control;

QMainWindow* QtWindowOf(const Window& window);
// The area below the menu bar, where controls are placed.
QWidget* QtContentOf(const Window& window);
QWidget* QtWidgetOf(const Control& control);
