#pragma once

// The fake codec driver lives in tests/support; the batch command's suite still includes it
// under this name.
#include "tests/support/FakeCodec.h"
