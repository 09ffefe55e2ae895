// Placeholder unit of the runtime; its operations arrive with their own units.
#include "mtask/mtask.h"

namespace mtask {}  // namespace mtask
