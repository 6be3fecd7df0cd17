// SPDX-License-Identifier: MIT
#include "call_record.h"

#include <utility>

namespace {

CallRecorder& Recorder()
{
    static CallRecorder recorder;
    return recorder;
}

}  // namespace

CallRecorder SetRuntimeCallRecorder(CallRecorder recorder)
{
    return std::exchange(Recorder(), std::move(recorder));
}

void RuntimeRecordCall(std::string_view call)
{
    if (const CallRecorder& recorder = Recorder()) recorder(call);
}
