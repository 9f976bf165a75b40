#include "output_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "frame_writer.h"

namespace {

namespace fs = std::filesystem;

constexpr const char *kMarkerHeader = "camsim-files 1";

struct Stamp {
  unsigned long long size = 0;
  long long mtimeNs = 0;
  bool operator==(const Stamp &o) const { return size == o.size && mtimeNs == o.mtimeNs; }
};

bool StampOf(const std::string &path, Stamp *stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  stamp->size = (unsigned long long)st.st_size;
  stamp->mtimeNs = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  return true;
}

// The marker's entries by name; empty for a missing or unreadable marker (then nothing in the
// folder is taken for camsim's).
std::map<std::string, Stamp> ReadMarker(const std::string &dir) {
  std::map<std::string, Stamp> entries;
  std::ifstream in(fs::path(dir) / kMarkerName);
  std::string line;
  if (!std::getline(in, line) || line != kMarkerHeader) return entries;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Stamp stamp;
    std::string name;
    if (!(fields >> stamp.size >> stamp.mtimeNs) || fields.get() != '\t' || !std::getline(fields, name) ||
        name.empty() || name.find('/') != std::string::npos) {
      return {};  // damaged: trust none of it
    }
    entries[name] = stamp;
  }
  return entries;
}

bool IsGuardFile(const std::string &name) {
  return name == kMarkerName || name == kLockName || name == std::string(kMarkerName) + ".tmp";
}

std::string Errno(int err) { return std::strerror(err); }

std::string Names(const std::vector<std::string> &names) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < 3; ++i) text += (i ? ", " : "") + names[i];
  if (names.size() > 3) text += ", ...";
  return text;
}

// The process id written in a lock file, 0 when there is none.
long ReadPid(int fd) {
  char text[32] = {};
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  return n > 0 ? std::strtol(text, nullptr, 10) : 0;
}

bool SameFolder(const fs::path &a, const fs::path &b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  return fs::weakly_canonical(fs::absolute(a, ec), ec) == fs::weakly_canonical(fs::absolute(b, ec), ec);
}

fs::path ParentOf(const std::string &path) {
  const fs::path p(path);
  return p.has_parent_path() ? p.parent_path() : fs::path(".");
}

}  // namespace

FolderSurvey SurveyFolder(const std::string &dir, const std::vector<std::string> &targets) {
  FolderSurvey survey;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return survey;
  std::vector<std::string> targetNames;
  for (const std::string &t : targets) {
    if (!t.empty() && t != "-" && SameFolder(ParentOf(t), dir)) targetNames.push_back(fs::path(t).filename().string());
  }
  const std::map<std::string, Stamp> marker = ReadMarker(dir);
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (IsGuardFile(name)) continue;
    Stamp now;
    const auto listed = marker.find(name);
    if (listed != marker.end() && StampOf(entry.path().string(), &now) && now == listed->second) {
      survey.earlier.push_back(name);
    } else if (entry.is_regular_file(ec) && (IsCamsimOutputName(name) || std::find(targetNames.begin(), targetNames.end(), name) != targetNames.end())) {
      survey.collisions.push_back(name);
    } else {
      survey.others.push_back(name);
    }
  }
  std::sort(survey.earlier.begin(), survey.earlier.end());
  std::sort(survey.collisions.begin(), survey.collisions.end());
  std::sort(survey.others.begin(), survey.others.end());
  return survey;
}

std::string SurveyRefusal(const std::string &dir, const FolderSurvey &survey, bool overwrite, bool keepOther) {
  if (!survey.collisions.empty() && !overwrite) {
    return "--out " + dir + " holds " + std::to_string(survey.collisions.size()) +
           " file(s) with names camsim writes that no earlier camsim run there left as they are (" +
           Names(survey.collisions) +
           "): they are left alone; move them away, name another folder, or give --overwrite (-y) to replace them";
  }
  if (!survey.others.empty() && !keepOther) {
    return "--out " + dir + " holds " + std::to_string(survey.others.size()) + " file(s) camsim did not write (" +
           Names(survey.others) + "): name an empty or new folder, or give --keep-other-files";
  }
  return std::string();
}

long FolderLockHolder(const std::string &dir) {
  const std::string path = (fs::path(dir) / kLockName).string();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  long holder = -1;
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    holder = errno == EWOULDBLOCK ? ReadPid(fd) : -1;
  } else {
    flock(fd, LOCK_UN);
  }
  close(fd);
  return holder;
}

bool CheckOutputFolder(const std::string &dir, const std::string &what, std::string *why) {
  std::error_code ec;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *why = what + " " + dir + " is a file, not a folder";
      return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
      *why = what + " " + dir + ": cannot write in it: " + Errno(errno);
      return false;
    }
    return true;
  }
  // The nearest folder that exists must take a new folder.
  fs::path parent = fs::absolute(dir, ec).parent_path();
  while (!parent.empty() && stat(parent.c_str(), &st) != 0) {
    if (errno != ENOENT) break;
    parent = parent.parent_path();
  }
  if (stat(parent.c_str(), &st) != 0) {
    *why = what + " " + dir + ": cannot create it: " + Errno(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = what + " " + dir + ": cannot create it: " + parent.string() + " is a file, not a folder";
    return false;
  }
  if (access(parent.c_str(), W_OK | X_OK) != 0) {
    *why = what + " " + dir + ": cannot create it in " + parent.string() + ": " + Errno(errno);
    return false;
  }
  return true;
}

bool CheckOutputFile(const std::string &path, const std::string &what, bool overwrite, const std::string &outDir,
                     std::string *why) {
  if (path.empty() || path == "-") return true;
  const fs::path parent = ParentOf(path);
  const bool inOut = !outDir.empty() && SameFolder(parent, outDir);
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *why = what + " " + path + " is a folder; name a file";
    return false;
  }
  if (inOut && IsCamsimOutputName(fs::path(path).filename().string())) {
    *why = what + " " + path + ": camsim writes a file of that name into --out " + outDir + " itself; name another file";
    return false;
  }
  if (inOut) return CheckOutputFolder(outDir, "--out", why);  // the folder's survey judges the file
  if (stat(parent.c_str(), &st) != 0) {
    *why = what + " " + path + ": cannot create it: the folder " + parent.string() +
           (errno == ENOENT ? std::string(" does not exist") : ": " + Errno(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = what + " " + path + ": cannot create it: " + parent.string() + " is a file, not a folder";
    return false;
  }
  const bool exists = access(path.c_str(), F_OK) == 0;
  if (exists && !overwrite) {
    *why = what + " " + path + " exists and camsim does not replace a file unless told to: name another file, or "
           "give --overwrite (-y) to replace it";
    return false;
  }
  if (exists) {
    if (access(path.c_str(), W_OK) != 0) {
      *why = what + " " + path + ": cannot replace it: " + Errno(errno);
      return false;
    }
    return true;
  }
  // Made and taken away again: the system's own answer, whoever runs camsim.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    *why = what + " " + path + ": cannot create it: " + Errno(errno);
    return false;
  }
  close(fd);
  unlink(path.c_str());
  return true;
}

OutputGuard::~OutputGuard() {
  if (lockFd_ >= 0) {
    // Unlinked while still held, so that a camsim that opened it meanwhile sees a stale file.
    unlink((fs::path(dir_) / kLockName).c_str());
    close(lockFd_);
  }
}

bool OutputGuard::Claim(const std::string &dir, const std::vector<std::string> &targets, bool overwrite,
                        bool keepOther, size_t *removed, std::string *why) {
  *removed = 0;
  dir_ = dir;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    *why = "--out " + dir + ": cannot create it: " + ec.message();
    return false;
  }
  const std::string lockPath = (fs::path(dir) / kLockName).string();
  for (int attempt = 0; lockFd_ < 0; ++attempt) {
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      *why = "--out " + dir + ": cannot create its lock file " + kLockName + ": " + Errno(errno);
      return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      const long pid = ReadPid(fd);
      close(fd);
      *why = err == EWOULDBLOCK
                 ? "--out " + dir + " is in use by another camsim (process " + (pid > 0 ? std::to_string(pid) : "unknown") +
                       "): wait for it to end, or name another folder"
                 : "--out " + dir + ": cannot lock " + kLockName + ": " + Errno(err);
      return false;
    }
    // The file may have been removed by the camsim that held it just before: lock the one there now.
    struct stat held, there;
    if (fstat(fd, &held) == 0 && stat(lockPath.c_str(), &there) == 0 && held.st_ino == there.st_ino &&
        held.st_dev == there.st_dev) {
      lockFd_ = fd;
    } else {
      close(fd);
      if (attempt == 10) {
        *why = "--out " + dir + ": its lock file keeps changing";
        return false;
      }
    }
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lockFd_, 0) != 0 || pwrite(lockFd_, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
    *why = "--out " + dir + ": cannot write its lock file " + kLockName + ": " + Errno(errno);
    return false;
  }
  // Surveyed again under the lock: the folder may have changed since the first look.
  const FolderSurvey survey = SurveyFolder(dir, targets);
  *why = SurveyRefusal(dir, survey, overwrite, keepOther);
  if (!why->empty()) return false;
  kept_ = survey.others;
  std::vector<std::string> gone = survey.earlier;
  gone.insert(gone.end(), survey.collisions.begin(), survey.collisions.end());
  for (const std::string &name : gone) {
    const fs::path path = fs::path(dir) / name;
    if (unlink(path.c_str()) != 0) {
      *why = "--out " + dir + ": cannot remove " + name + " of an earlier run: " + Errno(errno);
      return false;
    }
    ++*removed;
  }
  // The old list goes with the files: a run that ends before sealing leaves nothing claimed.
  unlink((fs::path(dir) / kMarkerName).c_str());
  return true;
}

bool OutputGuard::Seal(std::string *why) {
  if (lockFd_ < 0) return true;
  std::ostringstream text;
  text << kMarkerHeader << '\n';
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir_, ec)) {
    const std::string name = entry.path().filename().string();
    if (!IsGuardFile(name) && std::find(kept_.begin(), kept_.end(), name) == kept_.end()) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    Stamp stamp;
    if (StampOf((fs::path(dir_) / name).string(), &stamp)) text << stamp.size << ' ' << stamp.mtimeNs << '\t' << name << '\n';
  }
  const std::string marker = (fs::path(dir_) / kMarkerName).string(), temporary = marker + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) {
      *why = "cannot write " + temporary + ": " + Errno(errno);
      unlink(temporary.c_str());
      return false;
    }
  }
  if (rename(temporary.c_str(), marker.c_str()) != 0) {
    *why = "cannot write " + marker + ": " + Errno(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}
