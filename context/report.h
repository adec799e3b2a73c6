// The plug-in's report channel. A failed internal check shows the host's modal
// message box, owned by the active window and captioned "Assert Failed!",
// whose text is the check's condition, a line break, the source and ": line N".
//
// The texts are part of the product: users see them, grep for them and file
// them in bug reports. Each is stated as data at the place of its check
// (a ReportSite), so renaming a local or moving code changes no message.
//
// A report also fails the running export. That state belongs to the export:
// the driver holds an ExportStatus for the length of one export, and reports
// made meanwhile mark it.
#pragma once

namespace report {

struct Site {
  const char* text;    // the condition as the report shows it
  const char* source;  // the source the report names, from the project root
  int line;            // the line the report names
};

// Shows the report for `site` and marks the running export failed.
void Show(const Site& site);

// True when `ok`; otherwise shows the report for `site` and returns false:
//   if (!report::Check(ptr != nullptr, kNoMemory)) return -1;
inline bool Check(bool ok, const Site& site) {
  if (!ok) Show(site);
  return ok;
}

// The failure state of one export. Constructing one makes it the running
// export's until it is destroyed (the previous one then runs again).
class ExportStatus {
 public:
  ExportStatus();
  ~ExportStatus();
  ExportStatus(const ExportStatus&) = delete;
  ExportStatus& operator=(const ExportStatus&) = delete;

  bool Failed() const { return failed_; }
  void MarkFailed() { failed_ = true; }

 private:
  bool failed_ = false;
  ExportStatus* previous_;
};

// Fails the running export without a report: for the few failures that have
// none defined (memory for a node's writer), which must still not pass for a
// whole file. Without a running export it does nothing.
void MarkExportFailed();

}  // namespace report
