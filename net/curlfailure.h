#pragma once

#include "net/fetchresult.h"

#include <curl/curl.h>

namespace CurlFailure {

// Why a transfer that libcurl ended with this code failed; sawStatus: whether an answer had
// begun, which tells a cut from no answer at all.
FetchFailure of(CURLcode code, CURL* easy, bool sawStatus);

} // namespace CurlFailure
