// Joinable threads. aThread_Destroy joins: a thread never outlives its handle.
#pragma once

struct aThread;

typedef void* (*aThreadProc)(void* argument);

aThread* aThread_Create(aThreadProc procedure, void* argument);
// Waits for the thread, frees the handle, nulls the caller's pointer and
// returns the system's join result (0 on success).
int aThread_Destroy(aThread** thread);
void aThread_Yield();
