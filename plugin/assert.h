// Assertion reports of the plug-in. A failed check shows a modal message box
// owned by the active window, captioned "Assert Failed!", whose text is the
// condition, a line break, the source path and ": line N". It also marks the
// running export as failed: the node is abandoned and the walk stops.
#pragma once

// Shows the report for `condition` (the text as written in the check).
void ReportAssert(const char* condition, const char* file, int line);

// True once a report was shown since the last ResetExportFailure().
bool ExportFailed();
void ResetExportFailure();
// Marks the export failed without a report: for the few failures that have none
// (memory for a node's writer), which must still not pass for a whole file.
void MarkExportFailed();

// Evaluates to true when the check fails (after reporting it), so callers can
// abandon the step:  if (CHECK_FAILED(ptr && "Out of memory")) return 0;
#define CHECK_FAILED(cond) (!(cond) && (ReportAssert(#cond, __FILE__, __LINE__), true))
// Reports a check whose condition text is given as written in the original check.
#define REPORT_FAILED(text) ReportAssert(text, __FILE__, __LINE__)
