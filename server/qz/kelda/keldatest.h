// Test support of the tool: the framework's scratch root, with the tool's scripts in it.
#pragma once

#include "qztest.h"

namespace keldatest = qztest;
