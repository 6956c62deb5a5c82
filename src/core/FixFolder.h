#pragma once

#include "core/ApplicationFolder.h"

// The application folder is chosen once per process, at its first use, and
// every path hangs off that choice: a LUMORA_APP_FOLDER or a site
// configuration changed later does not move some paths and leave others
// (the databases) where they were. Points this process at a folder from now
// on, for a fixture that makes throw-away stations one after the other.
void FixApplicationFolder(const FolderChoice &choice);
