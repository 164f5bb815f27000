#pragma once

// What the codec test files share: every support header, and the engine's and
// the helpers' names without qualification.

#include <gtest/gtest.h>

#include <filesystem>

#include "imaging/codec.h"
#include "imaging/convert.h"
#include "imaging/engine.h"
#include "imaging/error.h"
#include "imaging/image.h"
#include "imaging/registry.h"
#include "tests/support/codec_checks.h"
#include "tests/support/interop.h"
#include "tests/support/pictures.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace rastel::imaging;
using namespace rastel::test;
