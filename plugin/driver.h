// The export driver: one export opens the file, walks the scene and appends a
// record per exportable node. It owns the export's write context and failure
// state; the node steps and writers below it only use them.
#pragma once

#include <cstdio>

#include "context/record_writer.h"
#include "context/report.h"
#include "host/plugin_api.h"
#include "host/scene_api.h"

// The scene-walk callback of one export.
class ExportTreeProc : public ITreeEnumProc {
 public:
  ExportTreeProc(RecordWriter& out, const report::ExportStatus& status) : Out(&out), Status(&status) {}
  RecordWriter* Out;                   // the export's file
  const report::ExportStatus* Status;  // the export's failure state
  // TREE_CONTINUE, or TREE_ABORT once the export has failed.
  int VisitNode(INode* node) override;
};

// Writes the scene to the file `name`: 1 when the file was opened and
// completed, 0 when it cannot be opened, a report was shown, or the close failed.
int ExportScene(const char* name, ExpInterface* ei, Interface* i, int suppressPrompts);
// ExportScene after the file is open: takes the stream over and always closes it.
int ExportToStream(FILE* file, ExpInterface* ei, Interface* i);
// Node steps: append the node's record; always 0.
int ExportLightNode(INode* node, Object* obj, RecordWriter& out, Class_ID lightClass);
int ExportMeshNode(INode* node, Object* obj, RecordWriter& out);
