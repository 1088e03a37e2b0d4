// Part of the POSIX stand-in for <wincrypt.h> (include that instead):
// cryptographic service providers, keys and hashes, as advapi32 declares them.
#pragma once
#include "../windows.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif
