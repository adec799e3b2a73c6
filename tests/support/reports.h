// Records the message boxes shown while it lives (the plug-in's reports and
// warnings, whether the plug-in is linked in or loaded as the host loads it).
#pragma once

#include <string>
#include <vector>

#include "host/platform.h"

namespace tarntest {

struct ReportLog {
  std::vector<MessageBoxRecord> boxes;
  MessageBoxSink previous;

  ReportLog() {
    previous = SetMessageBoxSink([this](const MessageBoxRecord& r) {
      boxes.push_back(r);
      return IDOK;
    });
  }
  ~ReportLog() { SetMessageBoxSink(previous); }
  ReportLog(const ReportLog&) = delete;
  ReportLog& operator=(const ReportLog&) = delete;

  // The failed condition of report i (the text before the line break).
  std::string Condition(size_t i) const { return boxes.at(i).text.substr(0, boxes.at(i).text.find('\n')); }
  std::string Conditions() const {
    std::string all;
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (i) all += ';';
      all += Condition(i);
    }
    return all;
  }
};

// True when `r` is the assertion report for `condition` in `source`:
// "<condition>\n<source>: line <N>", captioned "Assert Failed!", with an OK button.
inline bool IsReport(const MessageBoxRecord& r, const std::string& condition, const std::string& source) {
  const std::string head = condition + "\n" + source + ": line ";
  if (r.caption != "Assert Failed!" || r.type != MB_OK || r.text.compare(0, head.size(), head) != 0)
    return false;
  const std::string line = r.text.substr(head.size());
  return !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace tarntest
