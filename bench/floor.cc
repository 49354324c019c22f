// floor: the least work a run that edits user.reg can do, for the
// benchmarks to compare against. Reads the whole file into memory and, unless
// told only to read, replaces it atomically with the same bytes: a temporary
// file in the same folder, write, fsync, rename over the file, fsync of the
// folder. With a count, does the read and the replacement that many times.
//
// Usage: floor [--read-only] FILE [COUNT]
// Exit status 0 on success, 1 on an I/O error (with a message), 2 on a
// usage error.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

bool Fail(const std::string& what, const std::string& path) {
  fprintf(stderr, "floor: %s %s: %s\n", what.c_str(), path.c_str(),
          strerror(errno));
  return false;
}

bool ReadFile(const std::string& path, std::string* bytes, mode_t* mode) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail("open", path);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return Fail("stat", path);
  }
  *mode = st.st_mode & 07777;
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes->size()) {
    ssize_t n = read(fd, &(*bytes)[done], bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return Fail("read", path);
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return true;
}

std::string Folder(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReplaceAtomically(const std::string& path, const std::string& bytes,
                       mode_t mode) {
  std::string temp = path + ".floor-" + std::to_string(getpid()) + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return Fail("create", temp);
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = Fail("write", temp);
    else done += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = Fail("fsync", temp);
  if (close(fd) != 0 && ok) ok = Fail("close", temp);
  if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = Fail("rename", temp);
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  std::string folder = Folder(path);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Fail("open", folder);
  ok = fsync(dir) == 0 || Fail("fsync", folder);
  close(dir);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  bool read_only = argc > 1 && strcmp(argv[1], "--read-only") == 0;
  int first = read_only ? 2 : 1;
  if (argc - first < 1 || argc - first > 2) {
    fprintf(stderr, "usage: floor [--read-only] FILE [COUNT]\n");
    return 2;
  }
  std::string path = argv[first];
  int count = argc - first == 2 ? atoi(argv[first + 1]) : 1;
  if (count < 1) {
    fprintf(stderr, "floor: COUNT must be at least 1\n");
    return 2;
  }
  for (int i = 0; i < count; ++i) {
    std::string bytes;
    mode_t mode = 0;
    if (!ReadFile(path, &bytes, &mode)) return 1;
    if (!read_only && !ReplaceAtomically(path, bytes, mode)) return 1;
  }
  return 0;
}
