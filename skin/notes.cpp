#include "skin/notes.h"

#include <cstring>
#include <new>

#include "context/report.h"

Note* NoteList = nullptr;
int32_t AnimStart = 0;
int32_t AnimEnd = 0;

namespace {

// Length of the longest prefix of at most `limit` bytes that does not end
// inside a UTF-8 sequence.
size_t Utf8Prefix(const char* text, size_t limit) {
  size_t n = strnlen(text, limit + 1);
  if (n <= limit) return n;
  n = limit;
  // Step back over continuation bytes to the lead byte, and drop the partial sequence.
  size_t lead = n;
  while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead == 0) return n;  // no lead byte: not UTF-8, cut at the limit
  unsigned char c = static_cast<unsigned char>(text[lead - 1]);
  size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  size_t have = n - (lead - 1);
  return have < len ? lead - 1 : n;
}

// Notes still gathered when the library is unloaded go with it.
struct FreeNotesAtUnload {
  ~FreeNotesAtUnload() {
    while (Note* note = NoteList) {
      NoteList = note->Next;
      delete note;
    }
  }
} g_freeNotesAtUnload;

}  // namespace

void SetAnimRange(Interval range) {
  AnimStart = range.Start();
  AnimEnd = range.End();
}

void AddNote(TimeValue time, const char* text) {
  Note* note = new (std::nothrow) Note;
  if (!note) {
    // Dropped without a message; the file that lacks it must not pass as whole.
    report::MarkExportFailed();
    return;
  }
  if (!text) text = "";
  // The field keeps its terminating zero: at most 255 bytes of text.
  size_t n = Utf8Prefix(text, sizeof note->Text - 1);
  std::memcpy(note->Text, text, n);
  note->Text[n] = '\0';
  note->Time = time;
  Note** at = &NoteList;
  while (*at && (*at)->Time < time) at = &(*at)->Next;
  note->Next = *at;
  *at = note;
}

int WriteNotes(RecordWriter& out) {
  Note* list = NoteList;
  NoteList = nullptr;
  bool ok = true;
  const int tpf = GetTicksPerFrame();
  while (list) {
    Note* note = list;
    list = list->Next;
    // Empty texts would read as the end of the list.
    if (ok && note->Text[0] != '\0') {
      const int32_t frame = static_cast<int32_t>((int64_t(note->Time) - AnimStart) / tpf);
      ok = out.Str(note->Text) && out.I32(frame);
    }
    delete note;
  }
  ok = ok && out.U8(0) && out.Flush();
  return ok ? 1 : -1;
}
