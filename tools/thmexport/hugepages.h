// Large pages for the heap. A big export touches a few hundred megabytes
// once; in 4 KB pages that is a page fault each, and on virtual machines of
// the kind CI runs on those faults cost more than the export's own work.
// glibc backs its heap with transparent huge pages only when told so at
// start-up (the glibc.malloc.hugetlb tunable), so the program starts itself
// once more with the tunable set.
#pragma once

namespace thmexport {

// Returns when the tunable is in force, is set by the caller (to any value,
// hugetlb=0 turns this off), or cannot be set; otherwise replaces the
// process with itself, same arguments, with the tunable added.
void UseHugePages(char** argv);

}  // namespace thmexport
