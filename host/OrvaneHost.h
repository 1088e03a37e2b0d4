// The host program: its request loop and the answer to one request.
#pragma once
#include "foundation/Types.h"
#include "foundation/ResultCodes.h"

// Module handle of the host; error texts come from its string table.
extern HMODULE g_hInstance;

// MsgHandleProc: reads framed requests from standard input and writes framed
// responses to standard output until the input ends (returns 0), a read fails
// (the read's result) or a write fails (-1). Nothing a page sends ends it.
int MsgHandleProc();

// ParseAndRespondRequest: answers one request body. Hands the response text to
// *ppszResponseMsg (a new[] array the caller frees; null only when memory ran
// out). Returns 0.
int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg);

// HostMain: the whole life of the host process (trace provider, module handle,
// binary streams, request loop); returns the process exit code.
int HostMain();
