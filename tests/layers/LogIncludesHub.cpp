// Must not compile: the log sits below the hub link and cannot see it.
#include "hub/CommDisplay.h"
