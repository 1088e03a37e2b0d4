// A seam of the POSIX stand-in for tests, not part of the Windows API: the
// system never calls it. Tests that must change a file at an exact step of
// the code under test (between two opens of one name, in the middle of a
// write) watch the stand-in's file calls through it.
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// What the observer is told about.
#define ORVANE_FILE_OPENED 1  // CreateFileW opened (or created) the file
#define ORVANE_FILE_WRITTEN 2 // WriteFile wrote to it

// ORVANE_FILE_OBSERVER: called on the calling thread after the event, with
// the path the handle was opened by (UTF-8, as given to CreateFileW).
typedef void (*ORVANE_FILE_OBSERVER)(void* pvContext, DWORD dwEvent, const char* pszPath);

// OrvaneSetFileObserver: pfnObserver (null: none) is called after every
// successful CreateFileW and WriteFile of the process, with pvContext.
void OrvaneSetFileObserver(ORVANE_FILE_OBSERVER pfnObserver, void* pvContext);

#ifdef __cplusplus
}
#endif
