// A file's status as the rest of plinth sees it.
#pragma once

#include <sys/stat.h>

#include "os/os.h"

inline file_type type_of(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return file_type::regular;
    case S_IFDIR:
      return file_type::directory;
    case S_IFIFO:
      return file_type::fifo;
    case S_IFCHR:
    case S_IFBLK:
      return file_type::device;
    case S_IFSOCK:
      return file_type::socket;
    default:
      return file_type::other;
  }
}

inline file_status status_of(const struct stat& info) {
  file_status status;
  status.device = info.st_dev;
  status.inode = info.st_ino;
  status.type = type_of(info.st_mode);
  status.size = info.st_size;
  return status;
}
