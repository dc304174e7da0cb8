#pragma once

#include "fetchoutcome.h"

#include <QString>

class InternetTransfer;

// Fetches the server's cam list as GetHTML does, saying why when it fails. A body whose end the
// server did not announce (no length, no chunks) cannot be told from one cut short by a dying
// server, so it is taken only when it ends with a whole record; otherwise it is cut short.
FetchOutcome fetchCamList(InternetTransfer& Inet1, const QString& WWW_Adresse);
