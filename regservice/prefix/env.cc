#include "regservice/prefix/env.h"

#include <errno.h>

#include <algorithm>

namespace regservice {
namespace prefix {

namespace {

// Puts `bytes` over the file's content from its start and cuts it to their
// length.
Status Overwrite(RewritableFile* file, const std::string& bytes) {
  Status status = file->WriteAt(0, bytes);
  if (status.ok()) status = file->Truncate(bytes.size());
  if (status.ok()) status = file->Sync();
  return status;
}

}  // namespace

Status ErrnoStatus(Status::Code otherwise, int error, const std::string& call) {
  Status::Code code = otherwise;
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      code = Status::kNotFound;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      code = Status::kAccessDenied;
      break;
    case EEXIST:
      code = Status::kAlreadyExists;
      break;
    case EBUSY:
      code = Status::kBusy;
      break;
  }
  return Status::FromErrno(code, error, call);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "."
         : slash == 0               ? "/"
                                    : path.substr(0, slash);
}

Status ReplaceFile(Env* env, const std::string& path, const std::string& temp,
                   const std::string& bytes, const FileInfo& like,
                   const std::function<Status()>& before_rename) {
  std::unique_ptr<WritableFile> file;
  Status status = env->NewExclusiveFile(temp, like, &file);
  if (!status.ok()) return status;
  return ReplaceFileWith(env, path, temp, std::move(file), bytes,
                         before_rename);
}

Status ReplaceFileWith(Env* env, const std::string& path,
                       const std::string& temp,
                       std::unique_ptr<WritableFile> file,
                       const std::string& bytes,
                       const std::function<Status()>& before_rename) {
  Status status = file->Append(bytes);
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
  return env->SyncDirectory(DirectoryOf(path));
}

Status RewriteFile(Env* env, const std::string& path, const std::string& bytes,
                   const std::string& original,
                   const std::function<Status()>& before_change) {
  std::unique_ptr<RewritableFile> file;
  Status status = env->OpenForRewrite(path, &file);
  if (!status.ok()) return status;
  // The last look comes before the reservation, which may grow the file.
  status = before_change();
  if (status.ok()) {
    status = file->Reserve(std::max(bytes.size(), original.size()));
  }
  if (!status.ok()) return status;
  status = Overwrite(file.get(), bytes);
  if (!status.ok()) {
    // The space is reserved: the old bytes fit where they were.
    Overwrite(file.get(), original);
    return status;
  }
  return file->Close();
}

}  // namespace prefix
}  // namespace regservice
