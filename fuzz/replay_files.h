// Reading replay inputs for the replay programs: a file's bytes, and every file below a path.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

inline bool ReplayReadFile(const std::string &path, std::vector<uint8_t> *out) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  int c;
  while ((c = std::fgetc(f)) != EOF) out->push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return true;
}

// Calls run with each file's path and bytes: the file itself, or every file below a folder.
// Returns the number of paths that could not be opened.
inline int ReplayEachFile(const std::string &path,
                          const std::function<void(const std::string &, const std::vector<uint8_t> &)> &run) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  if (S_ISDIR(st.st_mode)) {
    int missing = 0;
    DIR *dir = opendir(path.c_str());
    while (dirent *e = readdir(dir)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") missing += ReplayEachFile(path + "/" + n, run);
    }
    closedir(dir);
    return missing;
  }
  std::vector<uint8_t> data;
  if (!ReplayReadFile(path, &data)) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  run(path, data);
  return 0;
}
