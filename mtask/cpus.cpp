// The number of processors.
#include <unistd.h>

#include "mtask/mtask.h"

namespace mtask {

void getcpus(int& n) { n = int(sysconf(_SC_NPROCESSORS_CONF)); }

}  // namespace mtask
