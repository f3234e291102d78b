#pragma once
// Follows a job's "Status" text: as a bar on a terminal (the "i/n" count in texts such as "uploading 25/120"
// fills it), as plain lines otherwise.

#include <string>

namespace trevane::cli {

class StatusDisplay {
 public:
  StatusDisplay();
  void show(const std::string &status);  // prints only what changed
  void end();                            // ends the bar's line, so what follows starts on a line of its own

 private:
  bool bar_;
  std::string last_;
};

}  // namespace trevane::cli
