// The Win32 side of the tree removal, for the setup's plug-in.
#pragma once

#include "installer/aid/tree_removal.h"

namespace tamsu {
namespace setup {

// Removes `root` (a full or relative path, UNC too) and everything beneath it without following a
// link; deeper than MAX_PATH as well. What is in use goes at the next restart (an administrator's
// or LocalSystem's right). A missing root is success with nothing done; a null, empty or overlong
// root, a drive's root, or a system without the native calls, leaves 1 and touches nothing.
TreeRemoval RemoveTreeNoFollow(const wchar_t* root);

}  // namespace setup
}  // namespace tamsu
