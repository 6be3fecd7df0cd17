// SPDX-License-Identifier: MIT
// Drops of files on a window: which items are accepted is decided once, when the drag enters.

#include "platform/framework/file_type_registry.h"
#include "qt_internal.h"
#include "qt_widgets.h"
#include "runtime.h"
#include "window_internal.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

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

void QtWindow::dragEnterEvent(QDragEnterEvent* event)
{
    mDragged = Items(event->mimeData());
    if (!AnyDragged()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    ShowAsDropTarget(true);
}

void QtWindow::dragMoveEvent(QDragMoveEvent* event)
{
    if (AnyDragged())
        event->acceptProposedAction();
    else
        event->ignore();
}

void QtWindow::dragLeaveEvent(QDragLeaveEvent* /*event*/)
{
    mDragged.clear();
    ShowAsDropTarget(false);
}

// The handler runs after the drop has been answered, so a slow item or a message box does
// not keep the file manager waiting.
void QtWindow::dropEvent(QDropEvent* event)
{
    const bool any = AnyDragged();
    std::vector<FolderItemRef> items = std::move(mDragged);
    mDragged.clear();
    ShowAsDropTarget(false);
    if (!any) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    const std::int32_t action = ToActionCode(event->dropAction());
    std::weak_ptr<Window> window = SharedWindow(mOwner);
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

std::vector<FolderItemRef> QtWindow::Items(const QMimeData* mime) const
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

bool QtWindow::AnyDragged() const
{
    return std::any_of(mDragged.begin(), mDragged.end(),
                       [](const FolderItemRef& item) { return item != nullptr; });
}

// The content area takes the desktop's selection colour while a drop would be taken.
void QtWindow::ShowAsDropTarget(bool on)
{
    QWidget* content = QtContentOf(mOwner);
    if (!content || on == mHighlighted) return;
    mHighlighted = on;
    if (on) {
        mFilledBefore = content->autoFillBackground();
        mPaletteBefore = content->palette();
        QPalette palette = mPaletteBefore;
        palette.setColor(QPalette::Window, palette.color(QPalette::Highlight));
        content->setPalette(palette);
        content->setAutoFillBackground(true);
    } else {
        content->setPalette(mPaletteBefore);
        content->setAutoFillBackground(mFilledBefore);
    }
}

bool DragItem::NextItem()
{
    if (mIndex + 1 >= mItems.size()) return false;
    ++mIndex;
    return true;
}
