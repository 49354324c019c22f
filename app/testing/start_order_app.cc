#include "app/testing/start_order_app.h"

#include <cstring>
#include <iostream>

namespace {

// Whether std::cout has been built. Its storage is static, so all zero
// until the first std::ios_base::Init constructs the stream in it, which
// sets its vtable pointer; only the bytes are read, never the stream.
bool StandardStreamsBuilt() {
  unsigned char bytes[sizeof(void*)];
  std::memcpy(bytes, static_cast<const void*>(&std::cout), sizeof bytes);
  for (unsigned char byte : bytes) {
    if (byte != 0) return true;
  }
  return false;
}

}  // namespace

#undef CWinApp

StartOrderApp::StartOrderApp(const char* app_name)
    : CWinApp(app_name), streams_ready_when_built_(StandardStreamsBuilt()) {}

StartOrderApp::~StartOrderApp() {
  // Written through the stream itself: the line appears only if it is
  // still usable now.
  std::cout << "built with streams ready: "
            << (streams_ready_when_built_ ? "yes" : "no")
            << "; destroyed with streams usable: yes" << std::endl;
}
