#include "regservice/prefix/env.h"

namespace regservice {
namespace prefix {

Status ReplaceFile(Env* env, const std::string& path, const std::string& temp,
                   const std::string& bytes, const FileInfo& like,
                   const std::function<Status()>& before_rename) {
  std::unique_ptr<WritableFile> file;
  Status status = env->NewExclusiveFile(temp, like, &file);
  if (!status.ok()) return status;
  status = file->Append(bytes);
  if (status.ok()) status = file->Sync();
  Status closed = file->Close();
  if (status.ok()) status = closed;
  file.reset();
  if (status.ok()) status = before_rename();
  if (status.ok()) status = env->RenameFile(temp, path);
  if (!status.ok()) {
    env->RemoveFile(temp);
    return status;
  }
  const size_t slash = path.rfind('/');
  return env->SyncDirectory(slash == std::string::npos ? "."
                            : slash == 0            ? "/"
                                                    : path.substr(0, slash));
}

}  // namespace prefix
}  // namespace regservice
