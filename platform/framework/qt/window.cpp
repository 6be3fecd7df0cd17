// SPDX-License-Identifier: MIT
#include "window.h"

#include "framework/file_type_registry.h"
#include "qt_internal.h"
#include "qt_widgets.h"
#include "runtime.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFont>
#include <QFontMetricsF>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QMimeData>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <map>

namespace {

std::vector<WindowRef>& Windows()
{
    static std::vector<WindowRef> windows;
    return windows;
}

template <class T>
T As(const PropertyValue& value)
{
    const T* held = std::get_if<T>(&value);
    return held ? *held : T{};
}

QColor ToQColor(const Color& color)
{
    return QColor(color.red, color.green, color.blue);
}

std::int32_t ToActionCode(Qt::DropAction action)
{
    switch (action) {
    case Qt::CopyAction: return 1;
    case Qt::MoveAction: return 2;
    case Qt::LinkAction: return 3;
    default: return 0;
    }
}

}  // namespace

class QtWindow : public QMainWindow {
public:
    explicit QtWindow(Window& owner) : mOwner(owner) {}

    bool closeButton = true;
    std::vector<std::string> acceptedTypes;

protected:
    void closeEvent(QCloseEvent* event) override
    {
        if (closeButton) event->accept();
        else event->ignore();
    }

    void dragEnterEvent(QDragEnterEvent* event) override
    {
        if (!AcceptedItems(event->mimeData()).empty()) event->acceptProposedAction();
    }

    void dragMoveEvent(QDragMoveEvent* event) override
    {
        if (!AcceptedItems(event->mimeData()).empty()) event->acceptProposedAction();
    }

    // The handler runs after the drop has been answered, so a slow item or a message box does
    // not keep the file manager waiting.
    void dropEvent(QDropEvent* event) override
    {
        std::vector<FolderItemRef> items = Items(event->mimeData());
        if (std::none_of(items.begin(), items.end(), [](const FolderItemRef& item) { return item != nullptr; }))
            return;
        event->acceptProposedAction();
        const std::int32_t action = ToActionCode(event->dropAction());
        std::weak_ptr<Window> window = FindRef();
        QTimer::singleShot(0, this, [window, items = std::move(items), action] {
            WindowRef target = window.lock();
            if (!target) return;
            RuntimeRecordCall("DropObject");
            RuntimeHandle([&] {
                DragItem drag(items);
                target->Event_DropObject(drag, action);
            });
        });
    }

private:
    Window& mOwner;

    WindowRef FindRef() const
    {
        for (const WindowRef& window : Windows())
            if (window.get() == &mOwner) return window;
        return nullptr;
    }

    // One entry per URL, in drop order; nil where the URL is not a file of an accepted type.
    std::vector<FolderItemRef> Items(const QMimeData* mime) const
    {
        std::vector<FolderItemRef> items;
        if (!mime || !mime->hasUrls()) return items;
        for (const QUrl& url : mime->urls()) {
            FolderItemRef item;
            if (url.isLocalFile()) {
                auto candidate = std::make_shared<FolderItem>(PathFromQString(url.toLocalFile()));
                for (const std::string& type : acceptedTypes) {
                    if (FileTypeMatches(type, *candidate)) {
                        item = candidate;
                        break;
                    }
                }
            }
            items.push_back(item);
        }
        return items;
    }

    std::vector<FolderItemRef> AcceptedItems(const QMimeData* mime) const
    {
        std::vector<FolderItemRef> items = Items(mime);
        std::erase(items, nullptr);
        return items;
    }
};

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
    if (impl.fullScreen) impl.window->showFullScreen();
    else impl.window->show();
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
    if (name == "Width") impl.width = As<std::int32_t>(value);
    else if (name == "Height") impl.height = As<std::int32_t>(value);
    else if (name == "MinWidth") impl.minWidth = As<std::int32_t>(value);
    else if (name == "MinHeight") impl.minHeight = As<std::int32_t>(value);
    else if (name == "MaxWidth") impl.maxWidth = As<std::int32_t>(value);
    else if (name == "MaxHeight") impl.maxHeight = As<std::int32_t>(value);
    else if (name == "Resizeable") impl.resizeable = As<bool>(value);
    else if (name == "CloseButton") window.closeButton = As<bool>(value);
    else if (name == "MinimizeButton") impl.minimizeButton = As<bool>(value);
    else if (name == "MaximizeButton") impl.maximizeButton = As<bool>(value);
    else if (name == "HasBackColor") impl.hasBackColor = As<bool>(value);
    else if (name == "BackColor") impl.backColor = As<Color>(value);
    else if (name == "Visible") impl.visible = As<bool>(value);
    else if (name == "FullScreen") impl.fullScreen = As<bool>(value);
    else if (name == "MenuBarVisible") {
        impl.menuBarVisible = As<bool>(value);
        if (window.menuWidget()) window.menuWidget()->setVisible(impl.menuBarVisible);
    } else if (name == "Title") {
        impl.title = As<std::string>(value);
        window.setWindowTitle(ToQString(impl.title));
    } else if (name == "BalloonHelp") {
        window.setToolTip(ToDisplayText(As<std::string>(value)));
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

bool DragItem::NextItem()
{
    if (mIndex + 1 >= mItems.size()) return false;
    ++mIndex;
    return true;
}

struct Control::Impl {
    QPointer<QWidget> widget;  // owned by its window
};

namespace {

std::unique_ptr<Control::Impl> NewLabel(Window& owner)
{
    auto impl = std::make_unique<Control::Impl>();
    auto* label = new QLabel(QtContentOf(owner));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    impl->widget = label;
    return impl;
}

}  // namespace

Control::Control(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}

Control::~Control() = default;

void Control::SetProperty(std::string_view name, const PropertyValue& value)
{
    QWidget* widget = mImpl->widget;
    if (!widget) return;
    QRect geometry = widget->geometry();
    if (name == "Name") mName = As<std::string>(value);
    else if (name == "Left") geometry.moveLeft(As<std::int32_t>(value));
    else if (name == "Top") geometry.moveTop(As<std::int32_t>(value));
    else if (name == "Width") geometry.setWidth(As<std::int32_t>(value));
    else if (name == "Height") geometry.setHeight(As<std::int32_t>(value));
    else if (name == "Enabled") widget->setEnabled(As<bool>(value));
    else if (name == "Visible") widget->setVisible(As<bool>(value));
    else if (name == "HelpTag") widget->setToolTip(ToDisplayText(As<std::string>(value)));
    widget->setGeometry(geometry);
    // Index, the Lock properties, TabPanelIndex, AutoDeactivate, the data binding and
    // InitialParent change nothing in a window of fixed size without tab panels.
}

StaticText::StaticText(Window& owner) : Control(NewLabel(owner)) {}

void StaticText::SetProperty(std::string_view name, const PropertyValue& value)
{
    auto* label = qobject_cast<QLabel*>(QtWidgetOf(*this));
    if (!label) return;
    if (name == "Text") {
        mText = As<std::string>(value);
        label->setText(ToDisplayText(mText));
        FitLines();
    } else if (name == "TextAlign") {
        const std::int32_t align = As<std::int32_t>(value);
        const Qt::Alignment horizontal = align == 1 ? Qt::AlignHCenter : align == 2 ? Qt::AlignRight : Qt::AlignLeft;
        label->setAlignment(horizontal | Qt::AlignTop);
    } else if (name == "TextColor") {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, ToQColor(As<Color>(value)));
        label->setPalette(palette);
    } else if (name == "Multiline") {
        label->setWordWrap(As<bool>(value));
    } else if (name == "TextFont") {
        mTextFont = As<std::string>(value);
        ApplyFont();
    } else if (name == "TextSize") {
        mTextSize = As<std::int32_t>(value);
        ApplyFont();
    } else if (name == "Bold" || name == "Italic" || name == "Underline") {
        QFont font = label->font();
        if (name == "Bold") font.setBold(As<bool>(value));
        else if (name == "Italic") font.setItalic(As<bool>(value));
        else font.setUnderline(As<bool>(value));
        label->setFont(font);
    } else {
        Control::SetProperty(name, value);
    }
}

// "System" is the desktop's font, "SmallSystem" a size smaller; TextSize 0 keeps the size.
void StaticText::ApplyFont()
{
    QWidget* label = QtWidgetOf(*this);
    QFont font = QApplication::font();
    if (mTextFont == "SmallSystem") font.setPointSizeF(std::max(6.0, font.pointSizeF() - 2.0));
    else if (!mTextFont.empty() && mTextFont != "System") font.setFamily(ToQString(mTextFont));
    if (mTextSize > 0) font.setPointSize(mTextSize);
    QFont current = label->font();
    font.setBold(current.bold());
    font.setItalic(current.italic());
    font.setUnderline(current.underline());
    label->setFont(font);
    FitLines();
}

// Texts are laid out for the Mac's system font; where the desktop's font runs wider, the
// system size steps down so that each line of a text keeps to one row instead of wrapping.
void StaticText::FitLines()
{
    auto* label = qobject_cast<QLabel*>(QtWidgetOf(*this));
    if (!label || mTextSize > 0 || mText.empty() || label->width() <= 0) return;
    const QStringList lines = ToDisplayText(mText).split(QLatin1Char('\n'));
    const qreal room = label->contentsRect().width() - 2 * label->margin();
    auto widest = [&](const QFont& font) {
        QFontMetricsF metrics(font);
        qreal width = 0;
        for (const QString& line : lines) width = std::max(width, metrics.horizontalAdvance(line));
        return width;
    };
    QFont font = label->font();
    constexpr qreal kSmallestLegible = 7.0;
    while (widest(font) > room && font.pointSizeF() - 0.5 >= kSmallestLegible)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    label->setFont(font);
}

void _SetProperties(Control& control, const PropertySet& properties)
{
    RuntimeRecordCall("_SetProperties " + control.Name());
    for (const auto& [name, value] : properties) control.SetProperty(name, value);
}

QMainWindow* QtWindowOf(const Window& window)
{
    return window.Qt().window.get();
}

QWidget* QtContentOf(const Window& window)
{
    return window.Qt().content;
}

QWidget* QtWidgetOf(const Control& control)
{
    return control.Qt().widget;
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
