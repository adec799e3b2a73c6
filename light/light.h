// The light node record: an omni or spot light with its names, position,
// attenuation range, colour, intensity and switch, and for a spot light its
// cone, direction and target distance. Everything is read at time 0.
#pragma once

#include "context/record_writer.h"
#include "host/scene_api.h"

// Appends one light record for `node`, whose object is already converted to
// the omni or spot class. Returns 1 when the whole record was written, -1 at
// the first write that fails, and 0 after the report for a light type other
// than omni or spot (only the lead byte is then written).
int SaveLight(LightObject* light, INode* node, RecordWriter& out);
