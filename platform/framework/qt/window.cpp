// SPDX-License-Identifier: MIT
// Windows, their stored properties and the window list.

#include "qt_internal.h"
#include "qt_widgets.h"
#include "runtime.h"
#include "window_internal.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>

#include <algorithm>
#include <map>

namespace {

std::vector<WindowRef>& Windows()
{
    static std::vector<WindowRef> windows;
    return windows;
}

}  // namespace

void QtWindow::closeEvent(QCloseEvent* event)
{
    if (closeButton)
        event->accept();
    else
        event->ignore();
}

struct Window::Impl {
    std::unique_ptr<QtWindow> window;
    QWidget* content = nullptr;  // owned by the window
    std::map<std::string, ControlRef> controls;
    std::string title;
    int width = 100, height = 100;
    int minWidth = 0, minHeight = 0, maxWidth = QWIDGETSIZE_MAX, maxHeight = QWIDGETSIZE_MAX;
    bool resizeable = true, visible = true, fullScreen = false, menuBarVisible = true;
    bool minimizeButton = true, maximizeButton = true;
    bool hasBackColor = false;
    Color backColor{255, 255, 255};

    void ApplyGeometry()
    {
        if (resizeable) {
            content->setMinimumSize(std::min(minWidth, width), std::min(minHeight, height));
            content->setMaximumSize(std::max(maxWidth, width), std::max(maxHeight, height));
            content->resize(width, height);
            window->layout()->setSizeConstraint(QLayout::SetDefaultConstraint);
        } else {
            content->setFixedSize(width, height);
            window->layout()->setSizeConstraint(QLayout::SetFixedSize);
        }
    }

    void ApplyFlags()
    {
        Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        if (window->closeButton) flags |= Qt::WindowCloseButtonHint;
        if (minimizeButton) flags |= Qt::WindowMinimizeButtonHint;
        if (maximizeButton && resizeable) flags |= Qt::WindowMaximizeButtonHint;
        if (window->windowFlags() != flags) window->setWindowFlags(flags);
    }

    void ApplyBackColor()
    {
        content->setAutoFillBackground(hasBackColor);
        if (hasBackColor) {
            QPalette palette = content->palette();
            palette.setColor(QPalette::Window, ToQColor(backColor));
            content->setPalette(palette);
        }
    }
};

Window::Window(std::string className) : mClassName(std::move(className)), mImpl(std::make_unique<Impl>())
{
    mImpl->window = std::make_unique<QtWindow>(*this);
    mImpl->content = new QWidget(mImpl->window.get());
    mImpl->window->setCentralWidget(mImpl->content);
    mImpl->ApplyGeometry();
    mImpl->ApplyFlags();
}

Window::~Window() = default;

void Window::Constructor(const WindowRef& window)
{
    RuntimeRecordCall("Window " + window->ClassName());
    RuntimeRecordCall("Layout");
    window->Layout();
    RuntimeRecordCall("CreateControls");
    window->CreateControls();
    RuntimeRecordCall("AddMenuHandlers");
    window->AddMenuHandlers();
    Windows().push_back(window);
    RuntimeRecordCall("Open");
    window->Event_Open();
    Impl& impl = *window->mImpl;
    if (!impl.visible) return;
    if (impl.fullScreen)
        impl.window->showFullScreen();
    else
        impl.window->show();
}

void Window::SetMenuBar(const MenuBarRef& bar)
{
    mMenuBar = bar;
    InstallQtMenuBar(*mImpl->window, bar);
    mImpl->window->menuBar()->setVisible(mImpl->menuBarVisible);
}

void Window::AcceptFileDrop(const std::string& typeName)
{
    RuntimeRecordCall("AcceptFileDrop " + typeName);
    mImpl->window->acceptedTypes.push_back(typeName);
    mImpl->window->setAcceptDrops(true);
}

const std::string& Window::Title() const
{
    return mImpl->title;
}

void Window::SetProperty(std::string_view name, const PropertyValue& value)
{
    Impl& impl = *mImpl;
    QtWindow& window = *impl.window;
    // The plain stored values; the rest act on the window as they are set.
    static constexpr std::pair<std::string_view, int Impl::*> kSizes[] = {
        {"Width", &Impl::width},         {"Height", &Impl::height},     {"MinWidth", &Impl::minWidth},
        {"MinHeight", &Impl::minHeight}, {"MaxWidth", &Impl::maxWidth}, {"MaxHeight", &Impl::maxHeight}};
    static constexpr std::pair<std::string_view, bool Impl::*> kSwitches[] = {
        {"Resizeable", &Impl::resizeable},
        {"MinimizeButton", &Impl::minimizeButton},
        {"MaximizeButton", &Impl::maximizeButton},
        {"HasBackColor", &Impl::hasBackColor},
        {"Visible", &Impl::visible},
        {"FullScreen", &Impl::fullScreen}};
    const auto named = [name](const auto& row) { return row.first == name; };
    const auto* size = std::find_if(std::begin(kSizes), std::end(kSizes), named);
    const auto* on = std::find_if(std::begin(kSwitches), std::end(kSwitches), named);
    if (size != std::end(kSizes))
        impl.*size->second = As<std::int32_t>(name, value);
    else if (on != std::end(kSwitches))
        impl.*on->second = As<bool>(name, value);
    else if (name == "CloseButton")
        window.closeButton = As<bool>(name, value);
    else if (name == "BackColor")
        impl.backColor = As<Color>(name, value);
    else if (name == "MenuBarVisible") {
        impl.menuBarVisible = As<bool>(name, value);
        if (window.menuWidget()) window.menuWidget()->setVisible(impl.menuBarVisible);
    } else if (name == "Title") {
        impl.title = As<std::string>(name, value);
        window.setWindowTitle(ToQString(impl.title));
    } else if (name == "BalloonHelp") {
        window.setToolTip(ToDisplayText(As<std::string>(name, value)));
    }
    // Placement, Frame, Composite, LiveResize and MacProcID keep Qt's defaults: a document
    // window placed by the window manager.
    impl.ApplyGeometry();
    impl.ApplyFlags();
    impl.ApplyBackColor();
}

void Window::_AddControl(const ControlRef& control, const std::string& name)
{
    RuntimeRecordCall("_AddControl " + name);
    if (control) control->mName = name;
    mImpl->controls[name] = control;
}

ControlRef RuntimeWindowControlByName(const Window& window, const std::string& name)
{
    auto found = window.mImpl->controls.find(name);
    return found == window.mImpl->controls.end() ? nullptr : found->second;
}

void _SetProperties(Window& window, const PropertySet& properties)
{
    RuntimeRecordCall("_SetProperties " + window.ClassName());
    for (const auto& [name, value] : properties) window.SetProperty(name, value);
}

WindowRef SharedWindow(const Window& window)
{
    for (const WindowRef& shared : Windows())
        if (shared.get() == &window) return shared;
    return nullptr;
}

WindowRef RuntimeGetImplicitWindow(const std::string& className)
{
    for (const WindowRef& window : Windows())
        if (window->ClassName() == className) return window;
    return nullptr;
}

const std::vector<WindowRef>& RuntimeWindowList()
{
    return Windows();
}

void RuntimeReleaseWindows()
{
    RuntimeRecordCall("RuntimeReleaseWindows");
    std::vector<WindowRef> windows;
    windows.swap(Windows());
    windows.clear();
}

QMainWindow* QtWindowOf(const Window& window)
{
    return window.Qt().window.get();
}

QWidget* QtContentOf(const Window& window)
{
    return window.Qt().content;
}

QWidget* RuntimeDialogParent()
{
    if (QWidget* active = QApplication::activeModalWidget()) return active;
    if (QWidget* active = QApplication::activeWindow()) return active;
    for (const WindowRef& window : Windows())
        if (QtWindowOf(*window)->isVisible()) return QtWindowOf(*window);
    return nullptr;
}

void RuntimeActivateWindows()
{
    for (const WindowRef& window : Windows()) {
        QMainWindow* qtWindow = QtWindowOf(*window);
        if (!qtWindow->isVisible()) continue;
        qtWindow->raise();
        qtWindow->activateWindow();
    }
}
