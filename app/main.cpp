// SPDX-License-Identifier: MIT
#include "app/startup.h"
#include "platform/framework/qt/runtime.h"

int main(int argc, char** argv, char** envp)
{
    RuntimeInit(argc, argv, envp);
    _Main();
    _ModuleFinalize();
    return RuntimeExit();
}
