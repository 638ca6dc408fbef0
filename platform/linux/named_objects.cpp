// Named objects: one file per object in /dev/shm, named per user, private to
// that user (mode 0600), holding a SharedObject.
//
// Liveness: every process that has the object open holds a shared flock on
// its file. A file nobody holds a lock on is stale (its users ended, perhaps
// killed) and is replaced; the last closer, able to lock it exclusively,
// removes it. A new object is built complete in an unnamed file and linked
// under its name only then, so nobody ever maps a half-made object.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "objects.h"

namespace platform::linux_impl {
namespace {

constexpr char kDirectory[] = "/dev/shm";
constexpr uint32_t kMagic = 0x514E4F42;
constexpr uint32_t kVersion = 1;
// 32- and 64-bit builds lay the mutex out differently and must not share.
constexpr uint32_t kAbi = static_cast<uint32_t>(sizeof(void*) << 16 | sizeof(pthread_mutex_t));
constexpr int kAttempts = 64;
constexpr size_t kMaxPath = 240;

enum class Outcome { kAttached, kRetry, kRefused };

bool PlainByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

// "/dev/shm/quenthaloy-<uid>-<name>", bytes other than [A-Za-z0-9_.-]
// written as %XX so that no name can leave the directory.
bool PathForName(const char* name, char* path) {
  int used = snprintf(path, kMaxPath, "%s/quenthaloy-%u-", kDirectory, static_cast<unsigned>(geteuid()));
  size_t length = static_cast<size_t>(used);
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c != 0; ++c) {
    if (length + 4 >= kMaxPath) return false;
    if (PlainByte(*c)) {
      path[length++] = static_cast<char>(*c);
    } else {
      length += static_cast<size_t>(snprintf(path + length, 4, "%%%02X", *c));
    }
  }
  path[length] = '\0';
  return true;
}

bool FileIsOurs(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0 &&
         info.st_size == static_cast<off_t>(sizeof(SharedObject));
}

bool HeaderIsOurs(const SharedObject* object) {
  return object->magic == kMagic && object->version == kVersion && object->abi == kAbi;
}

bool SameFileAtPath(int fd, const char* path) {
  struct stat open_file;
  struct stat named;
  return fstat(fd, &open_file) == 0 && lstat(path, &named) == 0 && open_file.st_dev == named.st_dev &&
         open_file.st_ino == named.st_ino;
}

int LockFile(int fd, int operation) {
  int rc;
  do {
    rc = flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

SharedObject* MapFile(int fd) {
  void* memory = mmap(nullptr, sizeof(SharedObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return memory == MAP_FAILED ? nullptr : static_cast<SharedObject*>(memory);
}

// Removes the file at `path` if it is still the one open as `fd` and the
// caller holds it exclusively.
void RemoveIfSame(int fd, const char* path) {
  if (SameFileAtPath(fd, path)) unlink(path);
}

Outcome AttachExisting(int fd, const char* path, Kind kind, SharedObject** object) {
  struct stat info;
  if (fstat(fd, &info) != 0 || !FileIsOurs(info)) return Outcome::kRefused;
  SharedObject* mapped = MapFile(fd);
  if (mapped == nullptr) return Outcome::kRefused;
  if (!HeaderIsOurs(mapped)) {
    munmap(mapped, sizeof(SharedObject));
    return Outcome::kRefused;
  }
  if (LockFile(fd, LOCK_EX | LOCK_NB) == 0) {
    // Nobody uses it: left behind by processes that ended. Replace it.
    munmap(mapped, sizeof(SharedObject));
    RemoveIfSame(fd, path);
    return Outcome::kRetry;
  }
  if (mapped->kind != kind) {
    munmap(mapped, sizeof(SharedObject));
    return Outcome::kRefused;
  }
  if (LockFile(fd, LOCK_SH) != 0 || fstat(fd, &info) != 0 || info.st_nlink == 0) {
    // Its last user removed it while we waited for the lock.
    munmap(mapped, sizeof(SharedObject));
    return Outcome::kRetry;
  }
  *object = mapped;
  return Outcome::kAttached;
}

bool InitObject(SharedObject* object, Kind kind) {
  object->magic = kMagic;
  object->version = kVersion;
  object->abi = kAbi;
  object->kind = kind;
  if (kind == Kind::kMutex) return InitMutex(&object->mutex, true);
  object->event.word.store(0, std::memory_order_relaxed);
  return true;
}

bool LinkUnder(int fd, const char* path) {
  char proc_path[64];
  snprintf(proc_path, sizeof(proc_path), "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, proc_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

Outcome CreateFresh(const char* path, Kind kind, int* fd_out, SharedObject** object) {
  int fd = open(kDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return Outcome::kRefused;
  SharedObject* mapped = nullptr;
  bool ready = fchmod(fd, 0600) == 0 && ftruncate(fd, sizeof(SharedObject)) == 0 && (mapped = MapFile(fd)) != nullptr &&
               InitObject(mapped, kind) && LockFile(fd, LOCK_SH) == 0;
  if (ready && LinkUnder(fd, path)) {
    *fd_out = fd;
    *object = mapped;
    return Outcome::kAttached;
  }
  int link_error = errno;
  if (mapped != nullptr) munmap(mapped, sizeof(SharedObject));
  close(fd);
  return (ready && link_error == EEXIST) ? Outcome::kRetry : Outcome::kRefused;
}

}  // namespace

SharedObject* OpenNamed(const char* name, Kind kind, int* fd_out, char** path_out, bool* existed) {
  char path[kMaxPath];
  if (!PathForName(name, path)) return nullptr;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    SharedObject* object = nullptr;
    int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    Outcome outcome;
    bool found = fd >= 0;
    if (found) {
      outcome = AttachExisting(fd, path, kind, &object);
      if (outcome != Outcome::kAttached) close(fd);
    } else if (errno == ENOENT) {
      outcome = CreateFresh(path, kind, &fd, &object);
    } else {
      return nullptr;  // a link, another user's file, or no access
    }
    if (outcome == Outcome::kRefused) return nullptr;
    if (outcome == Outcome::kRetry) continue;
    *path_out = strdup(path);
    if (*path_out == nullptr) {
      CloseNamed(object, fd, nullptr);
      return nullptr;
    }
    *fd_out = fd;
    if (existed != nullptr) *existed = found;
    return object;
  }
  return nullptr;
}

namespace {

// Mappings of closed named objects, kept until unload.
pthread_mutex_t retired_lock = PTHREAD_MUTEX_INITIALIZER;
void** retired = nullptr;  // SharedObject mappings
size_t retired_count = 0;
size_t retired_capacity = 0;

void Retire(SharedObject* object) {
  pthread_mutex_lock(&retired_lock);
  if (retired_count == retired_capacity) {
    size_t capacity = retired_capacity == 0 ? 16 : retired_capacity * 2;
    auto* grown = static_cast<void**>(realloc(retired, capacity * sizeof(void*)));
    if (grown != nullptr) {
      retired = grown;
      retired_capacity = capacity;
    }
  }
  // Without room the mapping is simply never unmapped.
  if (retired_count < retired_capacity) retired[retired_count++] = object;
  pthread_mutex_unlock(&retired_lock);
}

}  // namespace

void CloseNamed(SharedObject* object, int fd, char* path) {
  Retire(object);
  if (path != nullptr && LockFile(fd, LOCK_EX | LOCK_NB) == 0) RemoveIfSame(fd, path);
  close(fd);
  free(path);
}

// A mutex still held by a thread of ours is on that thread's robust list,
// which glibc walks through the mapping when the thread ends: that one stays.
void ReleaseNamedMappings() {
  pthread_mutex_lock(&retired_lock);
  for (size_t i = 0; i < retired_count; ++i) {
    auto* object = static_cast<SharedObject*>(retired[i]);
    if (object->kind == Kind::kMutex && MutexHeldInThisProcess(&object->mutex)) continue;
    munmap(object, sizeof(SharedObject));
  }
  free(retired);
  retired = nullptr;
  retired_count = retired_capacity = 0;
  pthread_mutex_unlock(&retired_lock);
}

}  // namespace platform::linux_impl
