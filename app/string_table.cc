// The program's string table, for platforms where executables carry no
// resources. The texts come from strings.def, as the Windows resource
// script's do.
#include "app/resource.h"
#include "winshim/resources.h"

namespace winshim {

#define QUILLFIX_STRING(id, text) {id, text},
const StringResource kModuleStringTable[] = {
#include "app/strings.def"
};
#undef QUILLFIX_STRING

const std::size_t kModuleStringCount =
    sizeof kModuleStringTable / sizeof kModuleStringTable[0];

}  // namespace winshim
