// A stand-in exporter plug-in for testing the host side of thmexport. It
// writes one line per node it is shown, and node names ask it to misbehave:
//   assert  an "Assert Failed!" report (the export still returns 1)
//   warn    a material warning (no owner window)
//   fail    return 0 after writing part of the file
//   big     write 1 MiB (a file-size limit makes that fail)
//   slow    take 200 ms over the node
//   tunables  write the glibc tunables it runs with
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/plugin_api.h"
#include "host/scene_api.h"

#define ENTRY extern "C" __attribute__((visibility("default")))

namespace {

struct Walk : ITreeEnumProc {
  FILE* file = nullptr;
  bool writeFailed = false;
  bool fail = false;
  void Put(const std::string& s) {
    if (std::fwrite(s.data(), 1, s.size(), file) != s.size()) writeFailed = true;
  }
  int VisitNode(INode* node) override {
    std::string name = node->GetName() ? node->GetName() : "(null)";
    Put(name + (node->IsNodeHidden() ? " hidden" : "") + "\n");
    if (name == "assert")
      MessageBoxA(GetActiveWindow(), "x != 0\nfake/exporter.cpp: line 12", "Assert Failed!", MB_OK);
    if (name == "warn")
      MessageBoxA(nullptr, "Material \"Brick\" has no diffuse map.", "Brick", MB_OK | MB_ICONWARNING);
    if (name == "big") Put(std::string(1 << 20, 'x'));
    if (name == "slow") usleep(200000);
    if (name == "tunables") {
      const char* t = std::getenv("GLIBC_TUNABLES");
      Put(std::string("GLIBC_TUNABLES=") + (t ? t : "(unset)") + "\n");
    }
    if (name == "fail") fail = true;
    if (name == "crash") std::raise(SIGSEGV);
    if (name == "hang")
      for (;;) pause();
    return fail || writeFailed ? TREE_ABORT : TREE_CONTINUE;
  }
};

class FakeExport : public SceneExport {
 public:
  explicit FakeExport(std::vector<const char*> exts) : exts_(std::move(exts)) {}
  int ExtCount() override { return static_cast<int>(exts_.size()); }
  const char* Ext(int n) override {
    return n >= 0 && n < ExtCount() ? exts_[static_cast<size_t>(n)] : nullptr;
  }
  const char* LongDesc() override { return "Fake scene"; }
  const char* ShortDesc() override { return "Fake"; }
  const char* AuthorName() override { return ""; }
  const char* CopyrightMessage() override { return ""; }
  const char* OtherMessage1() override { return ""; }
  const char* OtherMessage2() override { return ""; }
  unsigned int Version() override { return 7; }
  void ShowAbout(HWND) override {}
  int DoExport(const char* name, ExpInterface* ei, Interface* i, int) override {
    FILE* f = std::fopen(name, "wb");
    if (!f) return 0;
    Walk walk;
    walk.file = f;
    Interval range = i->GetAnimRange();
    walk.Put("FAKE ticks=" + std::to_string(GetTicksPerFrame()) + " range=" + std::to_string(range.Start()) +
             ".." + std::to_string(range.End()) + "\n");
    ei->GetScene()->EnumTree(&walk);
    bool closed = std::fclose(f) == 0;
    return walk.fail || walk.writeFailed || !closed ? 0 : 1;
  }

 private:
  std::vector<const char*> exts_;
};

class Desc : public ClassDesc {
 public:
  Desc(SClass_ID sc, const char* name, std::vector<const char*> exts)
      : sc_(sc), name_(name), exts_(std::move(exts)) {}
  int IsPublic() override { return 1; }
  void* Create(int) override { return static_cast<SceneExport*>(new FakeExport(exts_)); }
  const char* ClassName() override { return name_; }
  SClass_ID SuperClassID() override { return sc_; }
  Class_ID ClassID() override { return Class_ID(0xFA4E, sc_); }
  const char* Category() override { return "Test"; }

 private:
  SClass_ID sc_;
  const char* name_;
  std::vector<const char*> exts_;
};

#ifdef FAKE_OLD_VERSION
Desc g_old(SCENE_EXPORT_CLASS_ID, "Old exporter", {"old"});
#else
// A helper class first: the host must pass over what is not an exporter.
Desc g_helper(HELPER_CLASS_ID, "Not an exporter", {"thm"});
Desc g_fake(SCENE_EXPORT_CLASS_ID, "Fake exporter", {"thm", "Fake"});
Desc g_second(SCENE_EXPORT_CLASS_ID, "Second exporter", {"fk2"});
#endif

}  // namespace

ENTRY const char* LibDescription() {
  return "fake";
}
#ifdef FAKE_OLD_VERSION
ENTRY uint32_t LibVersion() {
  return HOST_SDK_VERSION - 0x100;
}
ENTRY int LibNumberClasses() {
  return 1;
}
ENTRY ClassDesc* LibClassDesc(int i) {
  return i == 0 ? &g_old : nullptr;
}
#else
ENTRY uint32_t LibVersion() {
  return HOST_SDK_VERSION;
}
ENTRY int LibNumberClasses() {
  return 3;
}
ENTRY ClassDesc* LibClassDesc(int i) {
  ClassDesc* all[] = {&g_helper, &g_fake, &g_second};
  return i >= 0 && i < 3 ? all[i] : nullptr;
}
#endif
