// Guards for what cJSON hands out, on the one guard template of
// foundation/Handles.h: a tree (cJSON_Delete) and a printed text (cJSON_free).
// For the host, and for the tools and tests that speak JSON to one.
#pragma once
#include "foundation/Handles.h"

#include <cJSON.h>

using UniqueJson = UniqueHandle<cJSON*, cJSON_Delete>;
using UniqueJsonText = UniqueHandle<char*, cJSON_free>;
