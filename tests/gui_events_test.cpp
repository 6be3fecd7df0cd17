// SPDX-License-Identifier: MIT
// The application events the framework raises besides the ones the program handles: NewDocument
// after Open when nothing was given to open, and CancelClose, which may keep Quit from quitting.
#include "gui_support.h"
#include "platform/framework/qt/application.h"
#include "platform/framework/qt/qt_internal.h"
#include "platform/framework/qt/runtime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace gui_test;

class Recorder : public Application {
public:
    std::vector<std::string> events;
    bool refuseQuit = false;

    void Event_Open() override { events.push_back("Open"); }
    void Event_NewDocument() override { events.push_back("NewDocument"); }
    void Event_OpenDocument(const FolderItemRef& /*item*/) override { events.push_back("OpenDocument"); }
    bool Event_CancelClose() override
    {
        events.push_back("CancelClose");
        return refuseQuit;
    }
};

TEST(ApplicationEvents, NewDocumentOnlyWithoutDocumentsAndCancelCloseCanRefuseQuit)
{
    TempFolder temp;
    const fs::path bundle = MakeBundle(temp.Path(), "Tool");
    const struct {
        const char* label;
        std::vector<std::string> args;
        bool refuseQuit;
        std::vector<std::string> events;
        long quits;  // the Quit command's own, before the test's closing one
    } cases[] = {
        {"nothing to open, Quit refused", {}, true, {"Open", "NewDocument", "CancelClose"}, 0},
        {"a document to open, Quit allowed",
         {bundle.string()},
         false,
         {"Open", "OpenDocument", "CancelClose"},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto recorder = std::make_shared<Recorder>();
        recorder->refuseQuit = c.refuseQuit;
        fixtures::RecordedCalls calls;
        long quits = -1;
        const int status = RunVeilor(temp / "run", c.args, [&] {
            // The loop's first event: the recorder stands in for the program before Open is raised.
            RuntimeRegisterAppObject(recorder);
            EXPECT_TRUE(WaitUntil([&] { return recorder->events.size() >= c.events.size() - 1; }));
            RunMenuItem(std::make_shared<QuitMenuItem>());
            quits = std::count(calls.Calls().begin(), calls.Calls().end(), "RuntimeQuit");
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(recorder->events, c.events);
        EXPECT_EQ(quits, c.quits);
    }
}

}  // namespace
