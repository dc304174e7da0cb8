#pragma once

class RemoteAccessBinding;

// Tells whether the first active dial-up connection is connected. The layer is bound on this
// call; RemoteAccessUnavailable from binding it passes on to the caller.
bool DFÜStatus(RemoteAccessBinding& ras);
