// Counts the descriptors open in this process, for tests proving that no
// operation leaks one.
#pragma once

#include <dirent.h>

inline int open_fd_count() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  // The directory stream's own descriptor was open while counting.
  return count - 1;
}
