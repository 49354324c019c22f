// What the prefix store's tests share besides a temporary directory
// (test_dir.h) and a stand-in server (fake_server.h): another user's ids,
// and a look at a value as Wine would load it. Included by tests only.
#ifndef QUILLFIX_REGSERVICE_PREFIX_TEST_SUPPORT_H_
#define QUILLFIX_REGSERVICE_PREFIX_TEST_SUPPORT_H_

#include <sys/types.h>

#include <string>

#include "regservice/prefix/test_dir.h"
#include "regservice/wine/hive.h"
#include "regservice/wine/test_support.h"

namespace regservice {
namespace prefix {

// A user and group id no one has, for files of "another user" (root only).
const uid_t kOtherUid = 3999999;
const gid_t kOtherGid = 3999998;

// The value `name` of `path` in the user.reg at `file`, or type 0xFFFF when
// the file does not load or has no such value.
inline wine::Value ValueInFile(const std::string& file,
                               const wine::KeyPath& path,
                               const wine::Name& name) {
  wine::Hive hive;
  wine::Value value;
  value.type = 0xFFFF;
  if (hive.Load(TestDir::Read(file)).ok()) hive.GetValue(path, name, &value);
  return value;
}

}  // namespace prefix
}  // namespace regservice

#endif  // QUILLFIX_REGSERVICE_PREFIX_TEST_SUPPORT_H_
