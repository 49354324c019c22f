// The program's entry, built as a function (main is renamed RunQuillfix for
// this test) and run once over a recording registry.
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "regservice/registry.h"
#include "regservice/testing/recording_registry.h"
#include "winshim/afx.h"
#include "winshim/process.h"

int RunQuillfix(int argc, char* argv[], char* envp[]);

namespace {

TEST(MainTest, StartsTheFrameworkWithTheProcessOwnModuleAndCommandLine) {
  // No prefix at all: the run's start looks at nothing of this machine's.
  setenv("WINEPREFIX", "", 1);
  regservice::RecordingRegistry registry;
  regservice::ScopedRegistry scoped(&registry);
  char program[] = "quillfix";
  char option[] = "--ignored";
  char* argv[] = {program, option, nullptr};
  char* envp[] = {nullptr};
  ASSERT_EQ(0, RunQuillfix(2, argv, envp));

  const auto& calls = winshim::AfxWinInitCallsForTesting();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(GetModuleHandleA(nullptr), calls[0].instance);
  EXPECT_EQ(nullptr, calls[0].previous);
  // The platform's own text, not a copy or one made from argv.
  EXPECT_EQ(GetCommandLineA(), calls[0].command_line);
  EXPECT_EQ(0, calls[0].show);
}

}  // namespace
