// The operations of os/scratch_file.h on Linux.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/scratch_file.h"
#include "os/unix/status.h"

namespace {

int fd_of(scratch_handle file) {
  return static_cast<int>(file);
}

scratch_status failed(std::string& error) {
  error = strerror(errno);
  return scratch_status::failed;
}

scratch_facts facts_from(const struct stat& info) {
  scratch_facts facts;
  facts.volume = info.st_dev;
  facts.number = info.st_ino;
  facts.link = S_ISLNK(info.st_mode);
  facts.type = facts.link ? file_type::other : type_of(info.st_mode);
  facts.mine = info.st_uid == geteuid();
  facts.links = static_cast<uint32_t>(info.st_nlink);
  facts.shared = info.st_mode & 077;
  return facts;
}

}  // namespace

scratch_status os_scratch_open(const char* name, scratch_open how, scratch_handle& file,
                               std::string& error) {
  // O_NONBLOCK: a FIFO swapped in since it was looked at opens at once.
  int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  flags |= how == scratch_open::read ? O_RDONLY : O_RDWR;
  if (how == scratch_open::create) flags |= O_CREAT | O_EXCL;
  const int fd = open(name, flags, 0600);
  file = fd;
  if (fd < 0) {
    if (errno == ENOENT) return scratch_status::absent;
    if (errno == EEXIST) return scratch_status::exists;
    if (errno == ELOOP) return scratch_status::link;
    return failed(error);
  }
  // 0600 whatever the umask.
  if (how == scratch_open::create && fchmod(fd, 0600) != 0) {
    const scratch_status status = failed(error);
    close(fd);
    file = no_scratch_file;
    return status;
  }
  return scratch_status::done;
}

scratch_status os_scratch_facts(scratch_handle file, scratch_facts& facts, std::string& error) {
  struct stat info;
  if (fstat(fd_of(file), &info) != 0) return failed(error);
  facts = facts_from(info);
  return scratch_status::done;
}

scratch_status os_scratch_name_facts(const char* name, scratch_facts& facts, std::string& error) {
  struct stat info;
  if (lstat(name, &info) != 0) return errno == ENOENT ? scratch_status::absent : failed(error);
  facts = facts_from(info);
  return scratch_status::done;
}

int64_t os_scratch_read_at(scratch_handle file, void* buffer, size_t size, int64_t offset,
                           std::string& error) {
  for (;;) {
    const ssize_t n = pread(fd_of(file), buffer, size, offset);
    if (n >= 0) return n;
    if (errno != EINTR) {
      error = strerror(errno);
      return -1;
    }
  }
}

scratch_status os_scratch_lock(scratch_handle file, std::string& error) {
  for (;;) {
    if (flock(fd_of(file), LOCK_EX | LOCK_NB) == 0) return scratch_status::done;
    if (errno == EWOULDBLOCK) return scratch_status::busy;
    if (errno != EINTR) return failed(error);
  }
}

bool os_scratch_lock_stays_apart(scratch_handle file) {
  struct statfs info;
  return fstatfs(fd_of(file), &info) != 0 || info.f_type != NFS_SUPER_MAGIC;
}

scratch_status os_scratch_make_private(scratch_handle file, std::string& error) {
  return fchmod(fd_of(file), 0600) == 0 ? scratch_status::done : failed(error);
}

void os_scratch_close(scratch_handle file) {
  if (file != no_scratch_file) close(fd_of(file));
}
