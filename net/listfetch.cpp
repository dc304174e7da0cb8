#include "listfetch.h"

#include "keypicking.h"

FetchResult camListOf(FetchResult fetched)
{
    if (fetched.ok() && !fetched.value().endAnnounced && !endsWithWholeRecord(fetched.value().body))
        return FetchFailures::failure(FetchFailure::CutShort);
    return fetched;
}
