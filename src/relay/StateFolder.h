#pragma once

#include <string>

namespace relaybox {

// The user's home folder: HOME when it is an absolute path, else the one the user database
// names; "" when there is none.
std::string UserHomeFolder();

// Where this user's relays keep what must outlive a run (the journal of queued updates, the
// log): $XDG_STATE_HOME/relaybox/ when that is an absolute path, else
// ~/.local/state/relaybox/; "" when the user has no home folder. With a trailing "/".
std::string UserStateFolder();

// Makes `folder` and its missing parents, each private to the user (0700). Returns "" when the
// folder is there, else what stopped it.
std::string MakeStateFolder(const std::string& folder);

} // namespace relaybox
