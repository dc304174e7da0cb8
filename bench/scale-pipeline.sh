#!/bin/bash
# The update done by a shell pipeline, for bench/run-scale to compare with camupdate_headless:
# fetch the list to temp.tmp (plus CR LF), append the records of the server keys that Cams.inf
# lacks, remove temp.tmp. Run it in the folder that holds Cams.inf.
#
# usage: scale-pipeline.sh URL
set -euo pipefail

url=$1
{
    curl -fsS --max-time 120 "$url"
    printf '\r\n'
} >temp.tmp

own=Cams.inf
[[ -e $own ]] || own=/dev/null

# Bytes, not characters, and keys compared as array subscripts so that no key is ever
# compared as a number. The program searches its sorted copy of the server keys, so the new
# records go out in that order: ASCII case folded, equal keys in list order (a stable sort).
# Fields are joined by SOH and records ended by NUL, bytes no cam list holds.
LC_ALL=C gawk '
BEGIN { RS = "\r\n?"; ORS = "\0"; OFS = "\001"; n = 0 }

# Cams.inf: a non-empty line is a key, the line after it its detail; an empty line goes alone.
ARGIND == 1 {
    ownLines++
    ownEndsLine = RT != ""
    if (wantDetail) {
        wantDetail = 0
        next
    }
    if (length($0) == 0)
        next
    own[$0]
    wantDetail = 1
    next
}

# temp.tmp: every line, and where each distinct line first shows up.
{
    line[n] = $0
    if (!($0 in first))
        first[$0] = n
    n++
}

# First what must close a record Cams.inf left open (its empty sort field puts it first), then
# the new records: sort field, key, the line after the first line equal to the key.
END {
    boundary = ""
    if (ownLines > 0 && !ownEndsLine)
        boundary = "\r\n"
    if (wantDetail)
        boundary = boundary "\r\n"
    print "", boundary, ""
    for (i = 0; i < n; i += 2) {
        while (i < n && length(line[i]) == 0)
            i++
        if (i >= n)
            break
        key = line[i]
        if (key in own)
            continue
        at = first[key] + 1
        print tolower(key), key, (at < n ? line[at] : "")
    }
}
' "$own" temp.tmp |
    LC_ALL=C sort -z -s -t $'\001' -k1,1 |
    LC_ALL=C gawk -v out=Cams.inf '
BEGIN { RS = "\0"; FS = "\001" }
NR == 1 { boundary = $2; next }
{
    printf "%s%s\r\n%s\r\n", boundary, $2, $3 >> out
    boundary = ""
}
'

rm -f temp.tmp
