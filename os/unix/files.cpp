// The process's standard streams and terminals, and the files read into
// tables.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "os/os.h"
#include "os/unix/status.h"

void os_start() {
  // A standard stream started closed would hand its number to the next file
  // opened, and the grid or a message would then be written into a saved
  // file.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      int null_fd = open("/dev/null", O_RDWR);
      if (null_fd >= 0 && null_fd != fd) close(null_fd);
    }
  }
}

// A terminal's window outlives the program that printed in it.
void os_wait_before_window_closes() {}

bool os_is_terminal(int stream) {
  return isatty(stream) == 1;
}

// The line is drawn and taken back with a carriage return and an erase to
// the end of the line; a terminal that lacks the erase would keep every
// version of it.
line_drawing os_error_line_drawing() {
  const char* term = getenv("TERM");
  const bool erases =
      isatty(STDERR_FILENO) && term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
  return erases ? line_drawing::erase : line_drawing::none;
}

size_t os_terminal_width() {
  winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

bool os_status_of_name(const char* name, file_status& status) {
  struct stat info;
  if (stat(name, &info) != 0) return false;
  status = status_of(info);
  return true;
}

int os_open_to_read(const char* name, file_status& status) {
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    close(fd);
    return -1;
  }
  status = status_of(info);
  return fd;
}

int64_t os_read(int fd, void* buffer, size_t size) {
  const ssize_t n = read(fd, buffer, size);
  if (n >= 0) return n;
  return errno == EINTR ? os_read_interrupted : -1;
}

int64_t os_read_at(int fd, void* buffer, size_t size, int64_t offset) {
  for (;;) {
    const ssize_t n = pread(fd, buffer, size, offset);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void os_close(int fd) {
  close(fd);
}
