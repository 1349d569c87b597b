// Who may read or write a file, by its access list: the service refuses a configuration that
// other users can write, and passwords that they can read. Separate from the file so that tests can
// hand it access lists of their own (Wine keeps no access lists on files).
#pragma once

#include <windows.h>

namespace corvale::host {

// True when Everyone, Users or Authenticated Users may read (write) under `dacl` (null: no list,
// open to all). Entries count in order, as Windows checks them: a denial before an allowance wins.
bool AclLetsOthersRead(const ACL* dacl);
bool AclLetsOthersWrite(const ACL* dacl);

}  // namespace corvale::host
