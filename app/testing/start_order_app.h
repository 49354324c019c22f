// Forced into a test build of quillfix: the program's application object
// becomes a StartOrderApp, which notes whether the standard streams were
// ready when it was built and are still usable when it is destroyed, and
// reports both on standard output as it goes.
#ifndef QUILLFIX_APP_TESTING_START_ORDER_APP_H_
#define QUILLFIX_APP_TESTING_START_ORDER_APP_H_

#include "winshim/afx.h"

class StartOrderApp : public CWinApp {
 public:
  explicit StartOrderApp(const char* app_name);
  ~StartOrderApp();

 private:
  bool streams_ready_when_built_;
};

#define CWinApp StartOrderApp

#endif  // QUILLFIX_APP_TESTING_START_ORDER_APP_H_
