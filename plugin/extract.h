// Mesh extraction: a node's triangle mesh into the object model, with the
// host's material answers, texture-coordinate mapping, two-sided copies and
// mirrored winding.
#pragma once

#include "host/geom.h"
#include "host/scene_api.h"

class Obj;
class Bones;

// Name of the last non-standard face material met by the running BuildObj.
extern const char* NonStdMtlName;
int IsMultiMtl(Mtl* m);
Mtl* GetFaceMtl(Mtl* multi, int index);
StdMat* AsStdMat(Mtl* m);
void NegateYZ(Point3& p);
// The corner's (u, v) in x and y, through the face material's diffuse map.
Point3 MapTexCoord(const Point3& t, Mtl* fm);
// Fills `obj` (and the skin references of `bones`) from the node's mesh: 1, or
// 0 after a report, when the node is to be abandoned.
int BuildObj(INode* node, TriObject* tobj, Obj* obj, Bones* bones);
