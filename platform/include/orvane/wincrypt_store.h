// Part of the POSIX stand-in for <wincrypt.h> (include that instead):
// certificate contexts, their properties and certificate stores, as crypt32
// declares them.
#pragma once
#include "../windows.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif
