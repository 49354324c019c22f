// The string table of the running program, for platforms where executables
// carry no resources. The program defines both symbols once; LoadStringA
// reads them.
#ifndef QUILLFIX_WINSHIM_RESOURCES_H_
#define QUILLFIX_WINSHIM_RESOURCES_H_

#include <cstddef>

namespace winshim {

struct StringResource {
  unsigned int id;
  const char* text;
};

extern const StringResource kModuleStringTable[];
extern const std::size_t kModuleStringCount;

}  // namespace winshim

#endif  // QUILLFIX_WINSHIM_RESOURCES_H_
