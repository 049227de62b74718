// The program's start and end: the entry routine and ReleaseGlobals.
#include "runtime/commands.h"
#include "viewer/globals.h"
#include "viewer/unit_ids.h"

using namespace qx::rt;

extern "C" {

char* CurrentVersion = nullptr;
char* LatestVersion = nullptr;

// Called by the runtime at program end. The variables are not reset: nothing runs after.
void ReleaseGlobals()
{
    Free(nimbra::current_version());
    Free(nimbra::latest_version());
}

// Called once by the runtime after linking.
void EntryRoutine()
{
    RegisterAtExit(QX_ABSOLUTE_ADDRESS(ReleaseGlobals));
    LoadWindow<nimbra::kWindowId>();
    HandOver();
    RunEventLoop();
}

}  // extern "C"
