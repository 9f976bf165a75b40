// camsim touches no file it did not write. The output folder holds a marker file listing the
// files a run wrote there (each with its size and modification time), so that the next run
// removes exactly those and no file of the user's that merely has a name camsim uses; a lock
// file held with flock keeps two camsims out of one folder at a time. Files named on the command
// line (--contact-sheet, --y4m) are refused when they exist unless replacing them is asked for.
#pragma once

#include <string>
#include <vector>

// In the output folder, beside the frames: the list of the files the last run wrote, and the lock.
constexpr const char *kMarkerName = ".camsim-files";
constexpr const char *kLockName = ".camsim.lock";

// What an output folder holds before a run.
struct FolderSurvey {
  std::vector<std::string> earlier;     // files the marker lists, unchanged since: removed
  std::vector<std::string> collisions;  // names this run writes, not (or no longer) camsim's
  std::vector<std::string> others;      // anything else: the user's
};

// The folder's entries sorted into the lists above (names, not paths). targets are the files
// named on the command line that may lie in the folder. Empty lists for a missing folder.
FolderSurvey SurveyFolder(const std::string &dir, const std::vector<std::string> &targets);

// Whether a camsim holds the folder's lock now: its process id (0 when it wrote none), or -1.
long FolderLockHolder(const std::string &dir);

// Checks a file a run is to write (what: the option naming it): a folder, a missing folder
// around it, a folder that cannot be written, or an existing file without overwrite are
// refused with *why in words. outDir is a folder the run creates when missing.
bool CheckOutputFile(const std::string &path, const std::string &what, bool overwrite, const std::string &outDir,
                     std::string *why);
// Checks that the folder exists and can be written, or can be created (its nearest existing
// parent can be written).
bool CheckOutputFolder(const std::string &dir, const std::string &what, std::string *why);

// The output folder for one run: Claim creates it, takes the lock, removes the earlier run's
// files (and, with overwrite, the colliding ones); Seal writes the marker with every file the
// run wrote there; the destructor gives up the lock.
class OutputGuard {
 public:
  OutputGuard() = default;
  ~OutputGuard();
  OutputGuard(const OutputGuard &) = delete;
  OutputGuard &operator=(const OutputGuard &) = delete;

  // False with *why (the run must not start); *removed counts the files taken away.
  bool Claim(const std::string &dir, const std::vector<std::string> &targets, bool overwrite, bool keepOther,
             size_t *removed, std::string *why);
  // Lists what the run wrote; false with *why when the marker cannot be written.
  bool Seal(std::string *why);

 private:
  std::string dir_;
  int lockFd_ = -1;
  std::vector<std::string> kept_;  // the user's files left in the folder
};

// The refusal for a survey, or empty when the run may go ahead.
std::string SurveyRefusal(const std::string &dir, const FolderSurvey &survey, bool overwrite, bool keepOther);
