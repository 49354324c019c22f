// Joining arguments into one Windows command line.
#ifndef QUILLFIX_WINSHIM_COMMAND_LINE_H_
#define QUILLFIX_WINSHIM_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace winshim {

// The arguments joined by spaces, each quoted so that the Windows rules for
// splitting a command line (CommandLineToArgvW) give it back unchanged.
std::string QuoteCommandLine(const std::vector<std::string>& args);

}  // namespace winshim

#endif  // QUILLFIX_WINSHIM_COMMAND_LINE_H_
