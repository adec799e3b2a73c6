// The --list report: what each input holds, as readable text.
#pragma once

#include <string>

#include "import/summary.h"
#include "scene/scene.h"

namespace thmexport {

// A model file's summary, several lines.
std::string FormatSummary(const scene::ModelSummary& m);
// A scene document's nodes, several lines.
std::string FormatDocument(const std::string& path, const scene::Scene& s);

}  // namespace thmexport
