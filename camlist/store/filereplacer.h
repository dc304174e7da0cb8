#pragma once

#include "camlist/result.h"

#include <QByteArrayView>
#include <QString>
#include <atomic>
#include <initializer_list>

// Puts new content under a file name without ever opening what stood there: the bytes go into
// a new file created exclusively beside it, are flushed to disk, and the new file is renamed
// over the name. A link of any kind under the name is replaced, never written through, and a
// failure leaves the name as it was.
class FileReplacer final
{
public:
    // The parts are written one after the other, so a large text needs no joined copy. A
    // failure gives the system's error number and its reason, for the user. When stop is given
    // and becomes true, the replace gives up at its next piece of a few MiB, before the flush,
    // or before the rename, whichever comes first: the scratch file is removed, the name left
    // as it was, and the failure is ECANCELED.
    static Result<> replace(const QString& path, std::initializer_list<QByteArrayView> parts,
                            const std::atomic<bool>* stop = nullptr);

    // Removes the scratch files that replacing this name left behind when a run was killed
    // before it could: only regular files (not links) of the user's own, named exactly as
    // replace() names them, and none that a replace going on right now holds. Gives how many
    // were removed.
    static int removeLeftovers(const QString& path);
};
