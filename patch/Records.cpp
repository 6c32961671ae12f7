#include "patch/Records.h"
// stub: being built
