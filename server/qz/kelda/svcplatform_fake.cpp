// The fake is defined in its header; this file gives the test binary its translation unit.
#include "svcplatform_fake.h"
