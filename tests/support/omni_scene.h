// A small scene that the loading tests export through tarnexport.dle on every
// platform, and the bytes the plug-in writes for it.
#pragma once

#include <string>

#include "scene/scene.h"
#include "tests/support/bytes.h"

namespace tarntest {

// A camera with a note, a hidden light and one visible omni light.
inline void BuildOmniScene(scene::Scene& s) {
  s.animationRange = Interval(0, 3200);
  scene::Node& cam = s.AddNode("Camera01");
  cam.SetObject(scene::GenericObject::Camera(s));
  cam.AddNoteTrack().keys = {{160, "step"}};
  scene::Node& off = s.AddNode("Hidden01");
  off.SetObject(&s.Make<scene::LightObj>(OMNI_LIGHT));
  off.hidden = true;
  scene::Node& omni = s.AddNode("Omni01");
  omni.SetObject(&s.Make<scene::LightObj>(OMNI_LIGHT));
  omni.transform.SetTrans({1, 2, 3});
}

// The default light state has far attenuation off: 1e13 for both range values.
inline std::string OmniSceneBytes() {
  return Bytes()
      .u8(8)
      .u8(1)
      .str("Omni01")
      .u8(1)
      .f32(1, 2, 3)
      .u32(0x551184E7)
      .u32(0x551184E7)
      .f32(1, 1, 1)
      .f32(1)
      .i32(1)
      .str();
}

}  // namespace tarntest
