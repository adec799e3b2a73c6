// The library-wide note list and the export's time range. Notes of every
// visible node are gathered in time order and written, with frame numbers, at
// the end of the next skin block; they outlive an export while the library
// stays loaded.
#pragma once

#include <cstdint>

#include "context/alloc.h"
#include "context/record_writer.h"
#include "host/types.h"

struct Note {
  char Text[256];  // zero-terminated within the field
  int32_t Time;    // host ticks
  Note* Next;

  TARN_SEAM_ALLOCATED
};

extern Note* NoteList;
extern int32_t AnimStart;
extern int32_t AnimEnd;

void SetAnimRange(Interval range);
void AddNote(TimeValue time, const char* text);
// Writes and empties the list; 1, or -1 when a write fails.
int WriteNotes(RecordWriter& out);
