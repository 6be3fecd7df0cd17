// SPDX-License-Identifier: MIT
#include "file_error.h"

#include "file_fault.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

FileFaultHook& Hook()
{
    static FileFaultHook hook;
    return hook;
}

}  // namespace

std::string FileError::Cause() const
{
    if (step == FileStep::Changed) return "changed by another program meanwhile";
    if (step == FileStep::Damaged) return "damaged";
    if (step == FileStep::Unfinished) return "a write was cut short: run veilor-patch on it to finish";
    return std::strerror(code ? code : EIO);
}

FileError FailedAt(FileStep step)
{
    return {step, errno};
}

FileFaultHook SetFileFaultHook(FileFaultHook hook)
{
    return std::exchange(Hook(), std::move(hook));
}

bool StepAllowed(FileStep step)
{
    if (Hook() && !Hook()(step)) {
        errno = EIO;
        return false;
    }
    return true;
}
