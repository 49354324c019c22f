// Which registry the Reg* functions of this build read for the current
// user, and whether it can be read at all. One implementation per
// platform: the Windows registry, or the Wine prefix's user.reg.
#ifndef QUILLFIX_APP_REGISTRY_SOURCE_H_
#define QUILLFIX_APP_REGISTRY_SOURCE_H_

#include <string>

#include "app/run_start.h"

namespace report {

struct RegistrySource {
  bool readable = false;
  // "Windows registry", or the user.reg path; a path escaped for a
  // terminal (app/terminal_text.h).
  std::string name;
  std::string problem;  // why it cannot be read, one line; empty if it can
  bool no_prefix = false;  // unreadable because there is no prefix at all
};

// Opens the registry the run started on, reading (never writing) it.
RegistrySource CheckRegistry(const app::RunStart& start);

}  // namespace report

#endif  // QUILLFIX_APP_REGISTRY_SOURCE_H_
