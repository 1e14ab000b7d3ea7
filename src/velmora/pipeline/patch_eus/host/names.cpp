// The module's full name and source file as texts.
#include "names.hpp"

namespace patch_eus {

Text module_name{PATCH_EUS_MODULE_NAME};
Text source_file{PATCH_EUS_SOURCE_FILE};

}  // namespace patch_eus
