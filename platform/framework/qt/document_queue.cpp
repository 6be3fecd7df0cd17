// SPDX-License-Identifier: MIT
#include "application.h"
#include "qt_internal.h"
#include "runtime.h"

#include <QApplication>
#include <QTimer>

#include <deque>

namespace {

struct DocumentQueue {
    std::deque<std::string> pending;
    bool drainScheduled = false;
};

DocumentQueue& Queue()
{
    static DocumentQueue queue;
    return queue;
}

// One document per turn of the loop, never inside another handler of the program's.
void DrainOpenDocuments()
{
    DocumentQueue& queue = Queue();
    queue.drainScheduled = false;
    if (RuntimeHandlerRunning() || queue.pending.empty()) return;
    const std::string path = queue.pending.front();
    queue.pending.pop_front();
    RuntimeRecordCall("OpenDocument " + path);
    RuntimeHandle([&] {
        if (ApplicationRef app = getAppObject()) app->Event_OpenDocument(std::make_shared<FolderItem>(path));
    });
    ScheduleOpenDocuments();
}

}  // namespace

void ScheduleOpenDocuments()
{
    DocumentQueue& queue = Queue();
    if (queue.drainScheduled || queue.pending.empty() || !qApp) return;
    queue.drainScheduled = true;
    QTimer::singleShot(0, qApp, DrainOpenDocuments);
}

void SetPendingDocuments(std::vector<std::string> paths)
{
    Queue().pending.assign(std::make_move_iterator(paths.begin()), std::make_move_iterator(paths.end()));
}

void RuntimeOpenDocuments(const std::vector<std::string>& paths)
{
    DocumentQueue& queue = Queue();
    queue.pending.insert(queue.pending.end(), paths.begin(), paths.end());
    ScheduleOpenDocuments();
}
