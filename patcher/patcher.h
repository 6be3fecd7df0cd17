// SPDX-License-Identifier: MIT
#pragma once
// The agent-flag patcher: routes a target item to the bundle or the resource-fork route. A route
// changes nothing on disk: it hands back what it made of the item, and its caller commits an edit,
// then refreshes the item. The application object is a Patcher; the console tool uses one too.

#include "platform/files/file_error.h"
#include "platform/files/file_replacement.h"
#include "platform/framework/folder_item.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct RouteOutcome {
    enum class Kind {
        LeftAlone,  // `reason` says why: nothing for a route to do
        Unchanged,  // the list holds NSUIElement already, and its signature needs nothing
        Failed,     // `message` is what the user is told; `cause`, what the files layer said
        Refused,    // the signature may not be renewed: `message` says why; nothing is written. With
                    // `signature` Broken: the patch would break a developer's signature it may not renew
        Edited,     // `writes` hold the new content
        Patched,    // an edit committed: in place and on disk
    };
    enum class Reason {
        None,
        NotApplication,  // neither a folder with Contents/Info.plist nor an "APPL" file
        NoDictionary,    // its property list does not parse to a dictionary
    };
    // What becomes of the main executable's signature, for an edit.
    enum class Signature {
        Kept,      // nothing signed is touched, or the signature stays valid
        Resigned,  // replaced by an ad hoc one: the executable is the last write
        Broken,    // a developer's, which the new Info.plist breaks (or an earlier patch broke):
                   // replacing it was not allowed, and would harm the application too when `message`
                   // says why
        Resealed,  // Resigned, and every signed bundle around it re-sealed
        Signed,    // the whole bundle signed ad hoc from scratch; `message` holds notes, one a line
    };
    // One file's new content, and what the user is told if it cannot be written.
    struct Write {
        FileRewrite rewrite;
        std::string failed;
    };

    Kind kind = Kind::Unchanged;
    Reason reason = Reason::None;
    std::string message;
    FileError cause;
    std::vector<Write> writes;  // in order: each goes in only once those before it did
    Signature signature = Signature::Kept;
    // Run once every write went in, or none did (a marker of the edit in flight removed, say).
    std::function<void()> afterCommit = {};

    static RouteOutcome LeftAlone(Reason why) { return {Kind::LeftAlone, why, {}, {}, {}, {}}; }
    static RouteOutcome Failure(std::string message, FileError cause = {})
    {
        return {Kind::Failed, Reason::None, std::move(message), cause, {}, {}};
    }
    static RouteOutcome Refusal(std::string why)
    {
        return {Kind::Refused, Reason::None, std::move(why), {}, {}, {}};
    }
    static RouteOutcome Edit(FileRewrite rewrite, std::string writeFailed)
    {
        RouteOutcome edited{Kind::Edited, Reason::None, {}, {}, {}, {}};
        edited.Then(std::move(rewrite), std::move(writeFailed));
        return edited;
    }
    // One more file to write after the others; an outcome that was Unchanged becomes an edit.
    void Then(FileRewrite rewrite, std::string writeFailed)
    {
        kind = Kind::Edited;
        writes.push_back({std::move(rewrite), std::move(writeFailed)});
    }
    // The new contents, for the commit; the messages stay.
    std::vector<FileRewrite> TakeRewrites();
};

class Patcher {
public:
    virtual ~Patcher() = default;

    // The window's road: the route, its edit committed at once, a failure or refusal told in a
    // message box, then the refresh.
    virtual void Process(const FolderItemRef& item);
    // The route `Process` takes: the bundle route for a folder, else the resource-fork route.
    RouteOutcome Route(const FolderItemRef& item);
    virtual RouteOutcome ProcessRes(const FolderItemRef& item);
    virtual RouteOutcome ProcessPackage(const FolderItemRef& item);

    // Whether a developer's signature that the patch breaks is replaced by an ad hoc one. The
    // window never does: it has no way to ask.
    void ReplaceDeveloperSignatures(bool replace) { mReplaceDeveloperSignatures = replace; }
    // Whether a patch may go on and break a developer's signature it may not renew; else the
    // application is left untouched. For pipelines that sign it again on a Mac afterwards.
    void AllowBrokenSignatures(bool allow) { mAllowBrokenSignatures = allow; }
    // Whether the bundle route signs the whole bundle ad hoc, deep, whatever signature it had.
    void SignFromScratch(bool sign) { mSignFromScratch = sign; }
    // For a dry run: a route then leaves even a killed run's temporary files where they are.
    void WriteNothing(bool nothing) { mWriteNothing = nothing; }

protected:
    // The step both routes take after reading the list. An empty list is told, one that is not a
    // dictionary left alone, one that has the flag already unchanged; else Edited, with the new
    // list as the one write's bytes for the route to place. `executable` gets CFBundleExecutable.
    static RouteOutcome AgentFlagAdded(const FolderItemRef& item, const std::string& text,
                                       std::string* executable = nullptr);
    // The bundle route's last step: what the main executable's signature needs once Info.plist
    // holds `infoPlist`. An edit gains the re-signed executable, or the outcome becomes a refusal.
    RouteOutcome SignatureKept(const FolderItem& bundle, const std::string& executable,
                               const std::string& infoPlist, RouteOutcome outcome) const;
    // Instead, with SignFromScratch: every file of the bundle's new signature, innermost first,
    // with the list placed before the outer bundle's own seal and executable.
    RouteOutcome SignedFromScratch(const std::filesystem::path& bundle, const std::string& infoPlist,
                                   RouteOutcome outcome) const;

private:
    bool mReplaceDeveloperSignatures = false;
    bool mAllowBrokenSignatures = false;
    bool mSignFromScratch = false;
    bool mWriteNothing = false;
};

// An edit once its commit is known: Patched, or Failed with the message of the write that failed
// (`failed`, its index) and the cause.
RouteOutcome Committed(RouteOutcome edited, FileError error, std::size_t failed = 0);
// Wakes file managers for the item when its Contents/Info.plist or companion is newer than the
// item, whatever its route did: the same rule on every road, after the commit.
void Refresh(const FolderItemRef& item);
