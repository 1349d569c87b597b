// Who may read a file, by its access list: the service refuses passwords that other users can
// read. Separate from the file so that tests can hand it access lists of their own (Wine keeps no
// access lists on files).
#pragma once

#include <windows.h>

namespace corvale::host {

// True when Everyone, Users or Authenticated Users may read under `dacl` (null: no list, open to
// all). Entries count in order, as Windows checks them: a denial before an allowance wins.
bool AclLetsOthersRead(const ACL* dacl);

}  // namespace corvale::host
