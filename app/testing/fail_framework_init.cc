// Linked into a test build of quillfix: makes the framework fail to start,
// which cannot be brought about on a sound machine.
#include "winshim/afx.h"

namespace {
const bool kInstalled = (winshim::FailAfxWinInitForTesting(), true);
}  // namespace
