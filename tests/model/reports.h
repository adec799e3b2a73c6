// Records the message boxes shown while it lives.
#pragma once

#include <string>
#include <vector>

#include "host/platform.h"
#include "plugin/assert.h"

struct ReportLog {
  std::vector<MessageBoxRecord> boxes;
  MessageBoxSink previous;

  ReportLog() {
    ResetExportFailure();
    previous = SetMessageBoxSink([this](const MessageBoxRecord& r) {
      boxes.push_back(r);
      return IDOK;
    });
  }
  ~ReportLog() {
    SetMessageBoxSink(previous);
    ResetExportFailure();
  }
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
