// The module's full name and the source file its traceback entries name.
#pragma once

#include "constants.hpp"

// As literals, so that longer names can be spelt by concatenation.
#define PATCH_EUS_MODULE_NAME "velmora.pipeline.patch_eus"
#define PATCH_EUS_SOURCE_FILE "src/velmora/pipeline/patch_eus"

namespace patch_eus {

// The same as texts.
extern Text module_name;
extern Text source_file;

}  // namespace patch_eus
