#pragma once

#include "fetchfailure.h"

// What a fetch of the server's cam list gave, taken as a list. A body whose end the server did
// not announce (no length, no chunks) cannot be told from one cut short by a dying server, so
// it is taken only when it ends with a whole record; otherwise it is cut short.
FetchResult camListOf(FetchResult fetched);
