#include "listfetch.h"

#include "gethtml.h"
#include "internettransfer.h"
#include "keypicking.h"

FetchOutcome fetchCamList(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    FetchOutcome outcome = GetHTMLOutcome(Inet1, WWW_Adresse);
    if (outcome.ok() && !outcome.endAnnounced && !endsWithWholeRecord(outcome.body)) {
        outcome.failure = FetchOutcome::Failure::CutShort;
        outcome.body.clear();
        outcome.reason =
            FetchOutcome::describe(outcome.failure, outcome.status, outcome.reasonPhrase, 0, 0);
    }
    return outcome;
}
